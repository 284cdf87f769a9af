#!/bin/sh
# Fetches the bundled decoder's sources (manifest.env) into SRC_ROOT and verifies them: FFmpeg
# from Debian's source package through a private APT configuration over the Debian mirror of
# the machine's own APT sources (which stay untouched), OpenCV's sdist with pip. Sources already
# unpacked and verified are kept. A failed download, checksum or patch names what failed and
# stops. Writes SRC_ROOT/ffmpeg-used.env, the FFmpeg source used (build.sh keys the build and
# writes the notice by it), says on stderr which one and why, and prints SRC_ROOT last.
#   usage: fetch.sh SRC_ROOT
#   environment: PYTHON, whose pip fetches the sdist; DEBIAN_MIRROR (see debian_mirror.sh);
#   DECODER_TEST_FFMPEG_PIN, a version taken as the pin instead of manifest.env's, so that tests
#   can see a pin that Debian's index no longer has
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/manifest.env"
root=$1
PYTHON=${PYTHON:-python3}
pin=${DECODER_TEST_FFMPEG_PIN:-$FFMPEG_DEB_VERSION}
mkdir -p "$root"
root=$(cd "$root" && pwd)

fail() { echo "decoder fetch: $*" >&2; exit 1; }
note() { echo "decoder fetch: $*" >&2; }

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# Debian's version 7:7.1.5-0+deb13u1 is upstream 7.1.5 (no epoch, no Debian revision).
upstream_of() { v=${1#*:}; echo "${v%-*}"; }
dsc_of() { echo "ffmpeg_${1#*:}.dsc"; }
tree_of() { echo "$root/ffmpeg-$(upstream_of "$1")"; }
# A tree unpacked and verified from Debian's VERSION holds that version in .verified (an empty
# one, from before versions were recorded, was always the pinned version).
verified() {
  [ -f "$(tree_of "$1")/.verified" ] || return 1
  seen=$(cat "$(tree_of "$1")/.verified")
  [ "$seen" = "$1" ] || { [ -z "$seen" ] && [ "$1" = "$FFMPEG_DEB_VERSION" ]; }
}

# The private APT configuration: Debian's suite as a deb-src entry over the machine's mirror,
# signed by Debian's archive key, with lists and cache of its own under SRC_ROOT.
apt_setup() {
  apt_dir="$root/apt"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$keyring" ] || fail "$keyring is missing (Debian package debian-archive-keyring)"
  mirror=$("$here/debian_mirror.sh") || fail "no Debian mirror to fetch ffmpeg's source from"
  mkdir -p "$apt_dir/parts.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$root/debian-src"
  echo "deb-src [signed-by=$keyring] $mirror $FFMPEG_DEBIAN_SUITE main" > "$apt_dir/sources.list"
  cat > "$apt_dir/apt.conf" <<CONF
Dir::Etc::sourcelist "$apt_dir/sources.list";
Dir::Etc::sourceparts "$apt_dir/parts.d";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
APT::Sandbox::User "root";
CONF
  # apt checks the InRelease signature and every index against the hashes it signs.
  private_apt apt-get -q --error-on=any update >"$apt_dir/update.log" 2>&1 \
    || fail "could not read Debian's $FFMPEG_DEBIAN_SUITE source index at $mirror (see $apt_dir/update.log)"
}

# Runs apt-get or apt-cache with the private configuration, read after the machine's own.
private_apt() { tool=$1; shift; "$tool" -c "$apt_dir/apt.conf" "$@"; }

# The ffmpeg versions in the suite's source index, one a line.
index_versions() {
  private_apt apt-cache showsrc --only-source ffmpeg 2>/dev/null | sed -n 's/^Version: //p' | sort -u
}

# The newest version of FFMPEG_SERIES among the versions given on standard input.
newest_of_series() {
  best=""
  while read -r v; do
    case $(upstream_of "$v") in "$FFMPEG_SERIES".*) ;; *) continue ;; esac
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  echo "$best"
}

# Downloads, checks and unpacks Debian's ffmpeg VERSION; the pinned version's .dsc must also
# match the pinned hash.
unpack_ffmpeg() {
  version=$1 dsc="$root/debian-src/$(dsc_of "$1")" dest=$(tree_of "$1")
  command -v dpkg-source >/dev/null || fail "dpkg-source is missing (Debian package dpkg-dev)"
  # apt-get source checks the .dsc against the hashes of the signed index, and a file it has
  # already against them too.
  (cd "$root/debian-src" && private_apt apt-get -q source --download-only "ffmpeg=$version") \
    >"$apt_dir/source.log" 2>&1 \
    || fail "download of Debian's ffmpeg $version failed (see $apt_dir/source.log)"
  if [ "$version" = "$pin" ]; then
    [ "$(sha256_of "$dsc")" = "$FFMPEG_DSC_SHA256" ] \
      || fail "checksum mismatch: $(basename "$dsc") is not the pinned one"
  fi
  rm -rf "$dest"
  # dpkg-source checks every file the .dsc lists against the .dsc's checksums and applies
  # Debian's patches; one that does not apply stops it.
  dpkg-source --no-copy -x "$dsc" "$dest" >"$root/debian-src/unpack.log" 2>&1 \
    || fail "unpacking $(basename "$dsc") or applying Debian's patches to it failed (see $root/debian-src/unpack.log)"
  # Every patch of Debian's series is recorded as applied, in the series' order.
  series="$root/debian-src/series" applied="$root/debian-src/applied"
  sed -e 's/#.*//' -e 's/[[:space:]].*//' -e '/^$/d' "$dest/debian/patches/series" > "$series" 2>/dev/null || : > "$series"
  cat "$dest/.pc/applied-patches" > "$applied" 2>/dev/null || : > "$applied"
  cmp -s "$series" "$applied" \
    || fail "Debian's patches to ffmpeg $version were not all applied (debian/patches/series against .pc/applied-patches in $dest)"
  echo "$version" > "$dest/.verified"
}

# Records the FFmpeg source used for build.sh: manifest.env's FFMPEG_* names, for that version.
record_ffmpeg() {
  version=$1 dsc="$root/debian-src/$(dsc_of "$1")"
  if [ -f "$dsc" ]; then
    sha=$(sha256_of "$dsc")
  elif [ "$version" = "$FFMPEG_DEB_VERSION" ]; then
    sha=$FFMPEG_DSC_SHA256
  else
    fail "$dsc, from which $(tree_of "$version") was unpacked, is missing"
  fi
  cat > "$root/ffmpeg-used.env.tmp" <<RECORD
FFMPEG_DEB_VERSION='$version'
FFMPEG_UPSTREAM_VERSION='$(upstream_of "$version")'
FFMPEG_DSC='$(dsc_of "$version")'
FFMPEG_DSC_SHA256='$sha'
FFMPEG_PIN='$pin'
RECORD
  mv "$root/ffmpeg-used.env.tmp" "$root/ffmpeg-used.env"
}

fetch_ffmpeg() {
  if verified "$pin"; then
    record_ffmpeg "$pin"
    note "FFmpeg source: Debian's ffmpeg $pin, the pinned version (verified before)"
    return 0
  fi
  # A version taken before in place of this pin is kept, so that every build from SRC_ROOT has
  # the same FFmpeg; an empty SRC_ROOT asks Debian's index anew.
  used=""
  if [ -f "$root/ffmpeg-used.env" ]; then
    used=$(. "$root/ffmpeg-used.env" && [ "$FFMPEG_PIN" = "$pin" ] && echo "$FFMPEG_DEB_VERSION") || used=""
  fi
  if [ -n "$used" ] && verified "$used"; then
    record_ffmpeg "$used"
    note "FFmpeg source: Debian's ffmpeg $used, taken before in place of the pinned $pin, which" \
         "Debian's $FFMPEG_DEBIAN_SUITE index no longer had (remove $root to ask the index anew)"
    return 0
  fi
  apt_setup
  versions=$(index_versions)
  [ -n "$versions" ] || fail "Debian's $FFMPEG_DEBIAN_SUITE source index at $mirror lists no ffmpeg (see $apt_dir/update.log)"
  if printf '%s\n' "$versions" | grep -qxF "$pin"; then
    unpack_ffmpeg "$pin"
    record_ffmpeg "$pin"
    note "FFmpeg source: Debian's ffmpeg $pin, the pinned version"
    return 0
  fi
  current=$(printf '%s\n' "$versions" | newest_of_series)
  [ -n "$current" ] \
    || fail "Debian's $FFMPEG_DEBIAN_SUITE index has neither the pinned ffmpeg $pin nor any other" \
            "version of the $FFMPEG_SERIES series (it has: $(echo $versions)); taking another series" \
            "is a deliberate change of decoder/manifest.env"
  note "FFmpeg source: the pinned ffmpeg $pin is no longer in Debian's $FFMPEG_DEBIAN_SUITE index," \
       "which keeps only the suite's current version; taking its current $current of the same" \
       "$FFMPEG_SERIES series, checked through the signed index (the pinned .dsc hash is for $pin only)"
  unpack_ffmpeg "$current"
  record_ffmpeg "$current"
}

fetch_opencv() {
  dest="$root/opencv-$OPENCV_VERSION"
  [ -f "$dest/.verified" ] && return 0
  archive="$root/$OPENCV_SDIST"
  if [ ! -f "$archive" ] || [ "$(sha256_of "$archive")" != "$OPENCV_SDIST_SHA256" ]; then
    # pip checks the pinned hash as it downloads, before it runs the sdist's build backend for
    # its metadata. Only the sdist itself is refused as a wheel: the backend's own requirements
    # come as wheels, since building those from source too (--no-binary :all:) takes pip through
    # nested builds of every build tool for many minutes.
    rm -rf "$root/pip"
    mkdir -p "$root/pip"
    printf '%s --hash=sha256:%s\n' "$OPENCV_PIP_REQUIREMENT" "$OPENCV_SDIST_SHA256" > "$root/pip/requirement.txt"
    "$PYTHON" -m pip download --no-deps --no-binary "${OPENCV_PIP_REQUIREMENT%%[=<>!~]*}" \
        -r "$root/pip/requirement.txt" \
        -d "$root/pip" >"$root/pip/download.log" 2>&1 \
      || fail "pip could not download $OPENCV_PIP_REQUIREMENT's source distribution (see $root/pip/download.log)"
    [ -f "$root/pip/$OPENCV_SDIST" ] || fail "pip downloaded no $OPENCV_SDIST (see $root/pip/download.log)"
    mv "$root/pip/$OPENCV_SDIST" "$archive"
  fi
  [ "$(sha256_of "$archive")" = "$OPENCV_SDIST_SHA256" ] \
    || fail "checksum mismatch: $OPENCV_SDIST is not the pinned one"
  rm -rf "$dest" "$dest.tmp"
  mkdir -p "$dest.tmp"
  top=${OPENCV_SDIST%.tar.gz}
  tar -xzf "$archive" -C "$dest.tmp" --strip-components=2 "$top/opencv" \
    || fail "unpacking $OPENCV_SDIST failed"
  mv "$dest.tmp" "$dest"
  touch "$dest/.verified"
}

fetch_ffmpeg
fetch_opencv
echo "$root"
