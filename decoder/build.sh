#!/bin/sh
# Builds the bundled decoder once and reuses it: a static FFmpeg, then a static OpenCV over it,
# each in a folder of CACHE_DIR named by a key that hashes the pinned sources, the FFmpeg source
# version used, the build script (and OpenCV's patches) and the compilers (OpenCV's key includes
# FFmpeg's). A folder whose key matches and which finished is used as it is. Prints OpenCV's
# install prefix as the last line. Concurrent runs on one CACHE_DIR wait for each other. Build
# output goes to a log file per part. With --keys it fetches the sources, prints both keys and
# builds nothing.
#   usage: build.sh CACHE_DIR [--keys]   (CC, CXX, AR, RANLIB, JOBS, PYTHON from the environment)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cache=$1
keys_only=${2:-}
: "${CC:=cc}" "${CXX:=c++}" "${AR:=ar}" "${RANLIB:=ranlib}" "${JOBS:=2}"
export CC CXX AR RANLIB JOBS
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The identity of a tool: its version, and its text when it is a wrapper script.
tool_id() {
  path=$(command -v "$1") || { echo "decoder build: tool not found: $1" >&2; exit 1; }
  "$path" --version 2>/dev/null | head -n 2 || true
  if [ "$(head -c 2 "$path")" = '#!' ]; then cat "$path"; fi
}
toolchain=$(for t in "$CC" "$CXX" "$AR" "$RANLIB"; do tool_id "$t"; done)
key_of() { { printf '%s\n' "$toolchain"; cat "$@"; } | sha256sum | cut -c1-16; }

exec 9>"$cache/.lock"
flock 9

src=$("$here/fetch.sh" "$cache/src" | tail -n 1)
. "$here/manifest.env"
# The FFmpeg source fetch.sh used, in manifest.env's FFMPEG_* names: the pinned one, or the
# suite's current version of the same series once Debian's archive has replaced the pin.
. "$src/ffmpeg-used.env"

# Builds one part into PREFIX by running SCRIPT with ARGS (which name PREFIX where the script
# wants it), unless a finished build with that key is there already.
#   usage: build_part NAME VERSION PREFIX SCRIPT ARGS...
build_part() {
  name=$1 version=$2 prefix=$3 script=$4
  shift 4
  [ -f "$prefix/.done" ] && return 0
  echo "decoder build: $name $version into $prefix (log: $prefix.log)" >&2
  start=$(date +%s)
  rm -rf "$prefix"
  "$script" "$@" >"$prefix.log" 2>&1 \
    || { tail -n 30 "$prefix.log" >&2; echo "decoder build: $name failed (log: $prefix.log)" >&2; exit 1; }
  echo "decoder build: $name took $(( $(date +%s) - start )) s" >&2
  touch "$prefix/.done"
}

# FFmpeg's key names the source version used, so a build from another one has its own folder.
ffmpeg_key=$(printf 'ffmpeg source %s\n' "$FFMPEG_DEB_VERSION" | key_of - "$here/manifest.env" "$here/build_ffmpeg.sh")
ffmpeg_prefix="$cache/ffmpeg-$ffmpeg_key"
opencv_key=$(printf '%s\n' "$ffmpeg_key" | key_of - "$here/build_opencv.sh" "$here"/patches/opencv-*.patch)
opencv_prefix="$cache/opencv-$opencv_key"
if [ "$keys_only" = --keys ]; then
  printf 'ffmpeg %s\nopencv %s\n' "$ffmpeg_key" "$opencv_key"
  exit 0
fi
build_part FFmpeg "$FFMPEG_UPSTREAM_VERSION" "$ffmpeg_prefix" "$here/build_ffmpeg.sh" \
  "$src/ffmpeg-$FFMPEG_UPSTREAM_VERSION" "$cache/work/ffmpeg-$ffmpeg_key" "$ffmpeg_prefix"

build_part OpenCV "$OPENCV_VERSION" "$opencv_prefix" "$here/build_opencv.sh" \
  "$src/opencv-$OPENCV_VERSION" "$cache/work/opencv-$opencv_key" "$opencv_prefix" "$ffmpeg_prefix"

# The licence texts and notices the module's users receive, with the exact configure line.
notices="$opencv_prefix/share/corvane-notices"
rm -rf "$notices"
mkdir -p "$notices"
cp "$src/ffmpeg-$FFMPEG_UPSTREAM_VERSION/COPYING.LGPLv2.1" "$notices/FFmpeg-COPYING.LGPLv2.1.txt"
cp "$src/opencv-$OPENCV_VERSION/LICENSE" "$notices/OpenCV-LICENSE.txt"
# OpenCV's own list of the third-party code compiled into the modules built (zlib, SoftFloat, ...).
for licence in "$opencv_prefix"/share/licenses/opencv*/*; do
  [ -f "$licence" ] && cp "$licence" "$notices/OpenCV-3rdparty-$(basename "$licence")"
done
cp "$here/licenses/pybind11-LICENSE.txt" "$notices/"
# How the FFmpeg source was chosen: the pin, or the suite's current version in its place.
source_note="$cache/work/ffmpeg-source-note.txt"
mkdir -p "$cache/work"
if [ "$FFMPEG_DEB_VERSION" = "$FFMPEG_PIN" ]; then
  cat > "$source_note" <<NOTE
  The corvane-video source distribution pins it in decoder/manifest.env, and
  decoder/fetch.sh fetches and verifies exactly that source.
NOTE
else
  cat > "$source_note" <<NOTE
  Not the pinned version: decoder/manifest.env in the corvane-video source distribution pins
  $FFMPEG_PIN, which Debian's archive no longer had when this was built (it keeps
  only each suite's current version), so decoder/fetch.sh took the current version of the same
  FFmpeg $FFMPEG_SERIES series in Debian's $FFMPEG_DEBIAN_SUITE instead, verified through Debian's signed index.
NOTE
fi
sed -e "s|@FFMPEG_UPSTREAM_VERSION@|$FFMPEG_UPSTREAM_VERSION|" -e "s|@FFMPEG_DEB_VERSION@|$FFMPEG_DEB_VERSION|" \
    -e "s|@FFMPEG_DSC@|$FFMPEG_DSC|" -e "s|@FFMPEG_DSC_SHA256@|$FFMPEG_DSC_SHA256|" \
    -e "s|@OPENCV_VERSION@|$OPENCV_VERSION|" -e "s|@OPENCV_SDIST@|$OPENCV_SDIST|" \
    -e "s|@OPENCV_SDIST_SHA256@|$OPENCV_SDIST_SHA256|" \
    -e "/@FFMPEG_SOURCE@/{r $source_note" -e "d}" \
    -e "/@FFMPEG_CONFIGURE@/{r $ffmpeg_prefix/share/ffmpeg-configure.txt" -e "d}" \
    "$here/NOTICE.in" > "$notices/NOTICE.txt"
echo "$opencv_prefix"
