#!/bin/sh
# A quick look at a freshly built wheel before the full wheel tests: the capture module
# exports its entry point alone and needs only system libraries manylinux allows, and in a
# clean virtual environment (numpy, loguru and a cv2 wheel from PyPI) it reads an FFV1 clip,
# frame for frame equal to cv2's own decode.
#   usage: smoke.sh WHEEL_DIR   (PYTHON: the interpreter whose wheel is checked)
set -eu
unset PYTHONPATH
out=$(cd "$1" && pwd)
: "${PYTHON:=/usr/bin/python3}"
tag=cp$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
wheel=$(ls "$out"/wheelhouse/*-"$tag"-*.whl)
venv="$out/smoke-$tag"
rm -rf "$venv"
"$PYTHON" -m venv "$venv"
"$venv/bin/pip" install -q "$wheel" opencv-python-headless
module=$(ls "$venv"/lib/python*/site-packages/corvane/plugins/video/capture*.so)
exports=$(nm -D --defined-only "$module" | awk '{print $3}')
[ "$exports" = "PyInit_capture" ] || { echo "smoke: $module exports more than PyInit_capture: $exports" >&2; exit 1; }
echo "smoke: $(basename "$wheel"): $(du -k "$wheel" | cut -f1) kB; exports $exports; needs" \
  $(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
cd "$venv"
"$venv/bin/python" - <<'PY'
import os, tempfile
import cv2, numpy as np
from corvane.plugins.video.capture import ParallVideoCapture

path = os.path.join(tempfile.mkdtemp(), "clip.mkv")
writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"FFV1"), 25, (160, 120))
for i in range(10):
    writer.write(np.full((120, 160, 3), (i * 20, 255 - i * 20, 7), np.uint8))
writer.release()
reader = cv2.VideoCapture(path)
expected = []
while True:
    ok, image = reader.read()
    if not ok:
        break
    expected.append(image)
capture = ParallVideoCapture(path, auto_reload=False)
assert capture.start(), "the bundled decoder did not open an FFV1 clip"
capture.seek(0)
# The worker may publish the next frame right after the seek: compare by number.
number, frame = capture.get_frame_with_number()
capture.stop()
assert len(expected) == 10 and frame is not None, "no frame to compare"
assert np.array_equal(frame, expected[number]), f"frame {number} differs from cv2's"
print(f"smoke: frame {number} of an FFV1 clip equals cv2's", frame.shape)
PY
