#!/bin/sh
# Configures and builds the bundled decoder's OpenCV: static libraries of the modules core,
# imgproc, imgcodecs and videoio only, with the FFmpeg from FFMPEG_PREFIX built into videoio
# (no plugins loaded at run time), no image codec libraries, and nothing downloaded or picked up
# from the machine: pkg-config sees only that FFmpeg, and every optional dependency is off.
# zlib, which core needs, comes from OpenCV's own copy. patches/opencv-*.patch are applied first.
# The target architecture is the compiler's (target_arch.sh): when it is not the build
# machine's, CMake is told it, so OpenCV picks that architecture's SIMD (NEON on aarch64, its
# baseline, with the newer extensions dispatched at run time), and OpenCV is told to keep
# pkg-config, which it drops when cross-compiling lest it find the build machine's libraries:
# the wrapper below sees only the FFmpeg built for the target.
#   usage: build_opencv.sh SOURCE_DIR BUILD_DIR PREFIX FFMPEG_PREFIX   (CC, CXX, AR, RANLIB, JOBS)
set -eu
src=$1 build=$2 prefix=$3 ffmpeg=$4
: "${CC:=cc}" "${CXX:=c++}" "${AR:=ar}" "${RANLIB:=ranlib}" "${JOBS:=2}"

rm -rf "$build"
mkdir -p "$build"
# The patches in patches/ apply to a copy made of hard links: patch writes each file it changes
# anew, so the fetched tree stays as verified and serves every build key.
cp -al "$src" "$build/source"
for patch in "$(dirname "$0")"/patches/opencv-*.patch; do
  patch -d "$build/source" -p1 --forward --quiet < "$patch"
done
src=$build/source
arch=$("$(dirname "$0")/target_arch.sh" "$CC")
cross=""
if [ "$arch" != "$(uname -m)" ]; then
  cross="-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$arch -DOPENCV_ENABLE_PKG_CONFIG=ON"
fi
# Static FFmpeg libraries need their private dependencies on the link line too.
cat > "$build/pkg-config" <<WRAPPER
#!/bin/sh
PKG_CONFIG_LIBDIR='$ffmpeg/lib/pkgconfig' PKG_CONFIG_PATH= exec pkg-config --static "\$@"
WRAPPER
chmod +x "$build/pkg-config"

flags="-ffunction-sections -fdata-sections -fvisibility=hidden"
off=""
for feature in IPP ITT OPENCL OPENMP TBB EIGEN LAPACK GSTREAMER GTK QT VA VA_INTEL 1394 OPENEXR \
               JPEG PNG SPNG TIFF WEBP OPENJPEG JASPER AVIF JPEGXL GDAL GDCM OBSENSOR PROTOBUF \
               FLATBUFFERS VTK CUDA OPENVX HALIDE CAROTENE KLEIDICV NDSRVP FASTCV AVFOUNDATION \
               MSMF DSHOW ARAVIS XIMEA UEYE PVAPI GPHOTO2 OPENNI OPENNI2 REALSENSE LIBREALSENSE \
               CLP IMGCODEC_HDR IMGCODEC_SUNRASTER IMGCODEC_PXM IMGCODEC_PFM IMGCODEC_GIF HARFBUZZ \
               ITALICFONT UNIFONT FRAMEBUFFER WAYLAND VULKAN OPENGL XINE MFX OPENVINO ONNXRUNTIME; do
  off="$off -DWITH_$feature=OFF"
done

# An empty list of download tries makes any download OpenCV would attempt fail the configure.
# shellcheck disable=SC2086  # $off and $cross are lists of separate options
cmake -S "$src" -B "$build" $cross -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_AR="$(command -v "$AR")" \
  -DCMAKE_RANLIB="$(command -v "$RANLIB")" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DPKG_CONFIG_EXECUTABLE="$build/pkg-config" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_LIST=core,imgproc,imgcodecs,videoio \
  -DVIDEOIO_ENABLE_PLUGINS=OFF -DWITH_FFMPEG=ON -DOPENCV_FFMPEG_ENABLE_LIBAVDEVICE=OFF \
  -DWITH_V4L=ON $off -DBUILD_ZLIB=ON \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF \
  -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF -DBUILD_opencv_python2=OFF \
  -DBUILD_opencv_python_bindings_generator=OFF -DBUILD_opencv_java_bindings_generator=OFF \
  -DBUILD_opencv_js_bindings_generator=OFF -DBUILD_opencv_objc_bindings_generator=OFF \
  -DOPENCV_GENERATE_PKGCONFIG=OFF -DENABLE_PRECOMPILED_HEADERS=OFF -DBUILD_WITH_DEBUG_INFO=OFF \
  -DCV_TRACE=OFF -DOPENCV_DOWNLOAD_TRIES_LIST= >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cat "$build/configure.log"
grep -q 'FFMPEG: *YES' "$build/configure.log" \
  || { echo "OpenCV did not accept the bundled FFmpeg" >&2; exit 1; }
cmake --build "$build" -j "$JOBS"
cmake --install "$build"
