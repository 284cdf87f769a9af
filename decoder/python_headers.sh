#!/bin/sh
# Lays out the C headers of CPython VERSION for ARCH (x86_64 or aarch64) from Debian's
# python3.X-dev packages (debian_debs.sh) of the suite that has that CPython (debian_suite.sh),
# for wheels of a CPython that does not run on this machine. Debian keeps pyconfig.h per
# architecture; DEST/include/python3.X holds that architecture's one in its place, so the
# folder serves a build on its own. Prints that include folder.
#   usage: python_headers.sh VERSION ARCH DEST
set -eu
here=$(cd "$(dirname "$0")" && pwd)
version=$1 arch=$2 dest=$3
case $arch in
  x86_64) deb_arch=amd64 ;;
  aarch64) deb_arch=arm64 ;;
  *) echo "python headers: unknown architecture $arch" >&2; exit 1 ;;
esac
suite=$("$here/debian_suite.sh" "$version")
include="$dest/include/python$version"
if [ ! -f "$include/Python.h" ]; then
  "$here/debian_debs.sh" "$suite" "$deb_arch" "$dest/debs" "python$version-dev" "libpython$version-dev"
  root="$dest/debs/root/usr/include"
  pyconfig="$root/$arch-linux-gnu/python$version/pyconfig.h"
  [ -f "$pyconfig" ] || { echo "python headers: $suite's python$version-dev has no $pyconfig" >&2; exit 1; }
  rm -rf "$dest/include"
  mkdir -p "$dest/include"
  cp -R "$root/python$version" "$include.tmp"
  # Python.h of 3.9.2 (bullseye's) still includes crypt.h, which later 3.9 releases dropped:
  # glibc 2.17's headers in zig have no crypt.h, and no extension needs crypt().
  sed 's|^#define HAVE_CRYPT_H 1$|/* #undef HAVE_CRYPT_H */|' "$pyconfig" > "$include.tmp/pyconfig.h"
  mv "$include.tmp" "$include"
fi
echo "$include"
