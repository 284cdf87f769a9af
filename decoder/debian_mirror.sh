#!/bin/sh
# Prints the URI of the Debian mirror the machine's own APT sources use, as apt itself reads
# them (sources.list, sources.list.d/*.list and *.sources in deb822 form, entries switched off
# left out; APT_CONFIG is honoured): the first deb or deb-src entry with component main for a
# release suite (bookworm, trixie, stable: not -updates, -security or -backports), preferring a
# URI whose path ends in /debian. DEBIAN_MIRROR in the environment overrides it.
#   usage: debian_mirror.sh
set -eu
if [ -n "${DEBIAN_MIRROR:-}" ]; then
  echo "$DEBIAN_MIRROR"
  exit 0
fi
# shellcheck disable=SC2016  # $(...) are apt's field names, not the shell's
targets=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)') \
  || { echo "debian mirror: apt-get could not read the machine's APT sources" >&2; exit 1; }
mirror=$(printf '%s\n' "$targets" | awk '
  ($1 == "deb" || $1 == "deb-src") && $4 == "main" && $3 != "" && $3 !~ /[-\/]/ {
    uri = $2; sub(/\/+$/, "", uri)
    if (first == "") first = uri
    if (uri ~ /\/debian$/) { print uri; found = 1; exit }
  }
  END { if (!found && first != "") print first }')
[ -n "$mirror" ] || {
  echo "debian mirror: the machine's APT sources name no Debian mirror (an entry with component main for a release suite); set DEBIAN_MIRROR to one" >&2
  exit 1
}
echo "$mirror"
