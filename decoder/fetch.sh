#!/bin/sh
# Fetches the bundled decoder's pinned sources (manifest.env) into SRC_ROOT and verifies them:
# FFmpeg through a private APT configuration (the machine's own APT setup is left untouched),
# OpenCV from PyPI. Sources already unpacked and verified are kept. A failed download or
# checksum names what failed and stops.
#   usage: fetch.sh SRC_ROOT
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/manifest.env"
root=$1
PYTHON=${PYTHON:-python3}
mkdir -p "$root"
root=$(cd "$root" && pwd)

fail() { echo "decoder fetch: $*" >&2; exit 1; }

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

fetch_ffmpeg() {
  dest="$root/ffmpeg-$FFMPEG_UPSTREAM_VERSION"
  [ -f "$dest/.verified" ] && return 0
  command -v dpkg-source >/dev/null || fail "dpkg-source is missing (Debian package dpkg-dev)"
  apt_dir="$root/apt"
  mkdir -p "$apt_dir/parts.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$root/debian-src"
  printf '%s\n' "$FFMPEG_APT_SOURCES" \
    | sed 's|^deb-src |deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] |' \
    > "$apt_dir/sources.list"
  set -- -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts="$apt_dir/parts.d" \
         -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
         -o APT::Sandbox::User=root
  dsc="$root/debian-src/$FFMPEG_DSC"
  if [ ! -f "$dsc" ] || [ "$(sha256_of "$dsc")" != "$FFMPEG_DSC_SHA256" ]; then
    apt-get "$@" -q update >"$apt_dir/update.log" 2>&1 \
      || fail "could not read Debian's source index for ffmpeg (see $apt_dir/update.log)"
    (cd "$root/debian-src" && apt-get "$@" -q source --download-only "ffmpeg=$FFMPEG_DEB_VERSION") \
      >"$apt_dir/source.log" 2>&1 \
      || fail "download of Debian's ffmpeg $FFMPEG_DEB_VERSION failed (see $apt_dir/source.log)"
  fi
  [ "$(sha256_of "$dsc")" = "$FFMPEG_DSC_SHA256" ] \
    || fail "checksum mismatch: $FFMPEG_DSC is not the pinned one"
  rm -rf "$dest"
  # dpkg-source checks every file the .dsc lists against the .dsc's checksums.
  dpkg-source --no-copy -x "$dsc" "$dest" >"$root/debian-src/unpack.log" 2>&1 \
    || fail "unpacking or verifying $FFMPEG_DSC failed (see $root/debian-src/unpack.log)"
  touch "$dest/.verified"
}

fetch_opencv() {
  dest="$root/opencv-$OPENCV_VERSION"
  [ -f "$dest/.verified" ] && return 0
  archive="$root/$OPENCV_SDIST"
  if [ ! -f "$archive" ] || [ "$(sha256_of "$archive")" != "$OPENCV_SDIST_SHA256" ]; then
    "$PYTHON" -c 'import sys, urllib.request; urllib.request.urlretrieve(sys.argv[1], sys.argv[2])' \
      "$OPENCV_SDIST_URL" "$archive.part" || fail "download of $OPENCV_SDIST failed"
    mv "$archive.part" "$archive"
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
