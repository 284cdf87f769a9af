#!/bin/sh
# Creates the benchmark environment: the video readers the benchmarks compare the capture
# with, in a virtual environment of their own (never the test or runtime dependencies).
# Usage: bench/make_venv.sh VENV_DIR PYTHON. Does nothing once VENV_DIR is complete.
#
# torchcodec needs torch. Only a CPU build of torch is installed, and only one that pip
# finds on this machine's disk (torch==2.13.0 among PIP_FIND_LINKS): from the registry,
# torch is a CUDA build of several GB. Without it torchcodec is left out, and the
# benchmark's table gives that as the reason.
set -eu
VENV=$1
PYTHON=$2
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
