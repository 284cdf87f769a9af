#!/bin/sh
# Configures and builds the bundled decoder's FFmpeg: static, LGPL only (never --enable-gpl or
# --enable-nonfree), nothing found on the machine by itself (--disable-autodetect), and only the
# demuxers, decoders, parsers and protocols that cameras, network streams and common video files
# need. Installs headers, static libraries and pkg-config files into PREFIX, and writes the
# exact configure line to PREFIX/share/ffmpeg-configure.txt for the wheel's notices. The target
# architecture is the compiler's (target_arch.sh), never the build machine's: configure is told
# it and cross-compiles, so it runs nothing it builds. On aarch64 FFmpeg's NEON assembly is on.
#   usage: build_ffmpeg.sh SOURCE_DIR BUILD_DIR PREFIX   (CC, CXX, AR, RANLIB, NM, JOBS from the environment)
set -eu
src=$1 build=$2 prefix=$3
: "${CC:=cc}" "${CXX:=c++}" "${AR:=ar}" "${RANLIB:=ranlib}" "${NM:=nm}" "${JOBS:=2}"

demuxers=mov,matroska,avi,mpegts,mpegps,rtsp,rtp,sdp,hls,flv,h264,hevc,m4v,mjpeg,mpjpeg,ivf,rawvideo,yuv4mpegpipe,mpegvideo
decoders=h264,hevc,mpeg4,h263,mpeg1video,mpeg2video,mjpeg,vp8,vp9,ffv1,rawvideo,png
parsers=h264,hevc,mpeg4video,h263,mpegvideo,mjpeg,vp8,vp9,png,aac,mpegaudio,ac3,opus
bsfs=h264_mp4toannexb,hevc_mp4toannexb,extract_extradata,vp9_superframe_split,mpeg4_unpack_bframes
protocols=file,pipe,tcp,udp,rtp,http,httpproxy,hls

arch=$("$(dirname "$0")/target_arch.sh" "$CC")

# Sections and hidden symbols let the module's link keep only what it calls and export nothing.
cflags="-fvisibility=hidden -ffunction-sections -fdata-sections -g0"

set -- --prefix="$prefix" --cc="$CC" --cxx="$CXX" --ar="$AR" --ranlib="$RANLIB" --nm="$NM" \
  --enable-static --disable-shared --enable-pic \
  --disable-everything --disable-autodetect --enable-pthreads \
  --disable-programs --disable-doc --disable-avdevice --disable-avfilter --disable-debug \
  --enable-network \
  --enable-demuxer="$demuxers" --enable-decoder="$decoders" --enable-parser="$parsers" \
  --enable-bsf="$bsfs" --enable-protocol="$protocols" \
  --extra-cflags="$cflags" \
  --enable-cross-compile --arch="$arch" --target-os=linux
if [ "$arch" = aarch64 ]; then
  set -- "$@" --enable-neon
fi

rm -rf "$build"
mkdir -p "$build"
cd "$build"
"$src/configure" "$@"
# glibc's sysctl() is deprecated and absent from the old glibc a portable build targets; FFmpeg
# only uses it to count CPUs, which sysconf answers as well.
sed -i 's/^#define HAVE_SYSCTL 1$/#define HAVE_SYSCTL 0/' config.h
make -j"$JOBS"
make install
mkdir -p "$prefix/share"
{
  printf 'configure'
  for arg in "$@"; do
    case $arg in
      --prefix=*|--cc=*|--cxx=*|--ar=*|--ranlib=*|--nm=*) ;;
      *) printf " '%s'" "$arg" ;;
    esac
  done
  printf '\n'
} > "$prefix/share/ffmpeg-configure.txt"
