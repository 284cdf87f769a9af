#!/bin/sh
# Unpacks Debian packages of one suite and architecture into DEST/root, fetched through a
# private APT configuration under DEST/apt (the machine's own APT setup is left untouched and
# nothing is installed): each package named, and with --with-deps also everything they depend
# on. apt checks the suite's signed index and every package against it. A finished DEST is kept.
#   usage: debian_debs.sh [--with-deps] SUITE ARCH DEST PACKAGE...
#   environment: DEBIAN_MIRROR (default http://deb.debian.org/debian)
set -eu
deps=no
if [ "$1" = --with-deps ]; then deps=yes; shift; fi
suite=$1 arch=$2 dest=$3
shift 3
[ -f "$dest/.done" ] && exit 0
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
fail() { echo "debian debs: $*" >&2; exit 1; }
[ -f "$keyring" ] || fail "$keyring is missing (Debian package debian-archive-keyring)"
rm -rf "$dest"
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
apt_dir="$dest/apt"
mkdir -p "$apt_dir/parts.d" "$apt_dir/prefs.d" "$apt_dir/lists/partial" \
  "$apt_dir/cache/archives/partial" "$apt_dir/debs" "$dest/root"
echo "deb [signed-by=$keyring] $mirror $suite main" > "$apt_dir/sources.list"
: > "$apt_dir/status"
apt() {
  apt-get -q -o APT::Architecture="$arch" -o APT::Architectures::="$arch" \
    -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts="$apt_dir/parts.d" \
    -o Dir::Etc::preferencesparts="$apt_dir/prefs.d" -o Dir::Etc::preferences="$apt_dir/prefs" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status" \
    -o Dir::Cache="$apt_dir/cache" -o Dir::Cache::Archives="$apt_dir/cache/archives" \
    -o APT::Sandbox::User=root "$@"
}
apt update >"$apt_dir/update.log" 2>&1 \
  || fail "could not read Debian's $suite index for $arch at $mirror (see $apt_dir/update.log)"
if [ "$deps" = yes ]; then
  # Nothing counts as installed here, so apt fetches the whole closure of the packages named.
  apt install --download-only --no-install-recommends -y "$@" >"$apt_dir/download.log" 2>&1 \
    || fail "download of $* ($suite, $arch) failed (see $apt_dir/download.log)"
  mv "$apt_dir"/cache/archives/*.deb "$apt_dir/debs/"
else
  (cd "$apt_dir/debs" && apt download "$@") >"$apt_dir/download.log" 2>&1 \
    || fail "download of $* ($suite, $arch) failed (see $apt_dir/download.log)"
fi
for deb in "$apt_dir"/debs/*.deb; do
  dpkg-deb -x "$deb" "$dest/root"
done
touch "$dest/.done"
