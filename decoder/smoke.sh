#!/bin/sh
# A quick look at a freshly built wheel before the full wheel tests: the capture module
# exports its entry point alone and needs only system libraries manylinux allows, and in a
# clean virtual environment (numpy, loguru and a cv2 wheel from PyPI) it reads an FFV1 clip,
# frame for frame equal to cv2's own decode (smoke_decode.py). smoke_qemu.sh does the same for
# an aarch64 wheel under emulation.
#   usage: smoke.sh WHEEL_DIR   (PYTHON: the interpreter whose wheel is checked)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
unset PYTHONPATH
out=$(cd "$1" && pwd)
: "${PYTHON:=/usr/bin/python3}"
tag=cp$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
# The wheel of this machine's architecture; a build of other versions or architectures only
# has none to check here.
wheel=$(ls "$out"/wheelhouse/*-"$tag"-"$tag"-*_"$(uname -m)".whl 2>/dev/null) \
  || { echo "smoke: no $tag $(uname -m) wheel in $out/wheelhouse; nothing checked here"; exit 0; }
venv="$out/smoke-$tag"
rm -rf "$venv"
"$PYTHON" -m venv "$venv"
"$venv/bin/pip" install -q "$wheel" opencv-python-headless
module=$(ls "$venv"/lib/python*/site-packages/corvane/plugins/video/capture*.so)
echo "smoke: $(basename "$wheel"): $(du -k "$wheel" | cut -f1) kB"
"$here/sealed_module.sh" "$module"
cd "$venv"
"$venv/bin/python" "$here/smoke_decode.py"
