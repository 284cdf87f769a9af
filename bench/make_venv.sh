#!/bin/sh
# Creates the benchmark environment: the video readers the benchmarks compare the capture
# with, in a virtual environment of their own (never the test or runtime dependencies).
# Usage: bench/make_venv.sh VENV_DIR PYTHON [WHEELHOUSE]. Does nothing once VENV_DIR is
# complete.
#
# With WHEELHOUSE, the environment instead holds the capture from the wheel there for
# PYTHON's version (the bundled decoder), beside numpy and opencv-python-headless (the
# capture module imports cv2). Without such a wheel it says so and makes nothing; the
# benchmark's table then gives "run make wheel first". A rebuilt wheel replaces the old.
#
# torchcodec needs torch. Only a CPU build of torch is installed, and only one that pip
# finds on this machine's disk (torch==2.13.0 among PIP_FIND_LINKS): from the registry,
# torch is a CUDA build of several GB. Without it torchcodec is left out, and the
# benchmark's table gives that as the reason.
set -eu
VENV=$1
PYTHON=$2
WHEELHOUSE=${3:-}
if [ -n "$WHEELHOUSE" ]; then
  TAG=$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  WHEEL=$(ls -t "$WHEELHOUSE"/corvane_video-*-"$TAG"-*.whl 2>/dev/null | head -n 1 || true)
  if [ -z "$WHEEL" ]; then
    echo "no $TAG wheel in $WHEELHOUSE for the bundled decoder's benchmarks: run make wheel first"
    rm -rf "$VENV"
    exit 0
  fi
  # A rebuilt wheel keeps its name: the environment is known by the wheel's content.
  ID=$(sha256sum "$WHEEL" | cut -d' ' -f1)
  [ -f "$VENV/.complete" ] && [ "$(cat "$VENV/.complete")" = "$ID" ] && exit 0
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/pip" install -q --upgrade pip
  "$VENV/bin/pip" install -q numpy opencv-python-headless "$WHEEL"
  echo "$ID" > "$VENV/.complete"
  exit 0
fi
[ -f "$VENV/.complete" ] && exit 0
rm -rf "$VENV"
"$PYTHON" -m venv "$VENV"
PIP="$VENV/bin/pip"
"$PIP" install -q --upgrade pip
"$PIP" install -q av decord opencv-python-headless numpy
PROBE="$VENV/torch-wheel"
if "$PIP" download -q --no-index --no-deps -d "$PROBE" torch==2.13.0 >/dev/null 2>&1 &&
   ls "$PROBE" | grep -q '+cpu'; then
  "$PIP" install -q "$PROBE"/torch-*.whl torchcodec
fi
rm -rf "$PROBE"
touch "$VENV/.complete"
