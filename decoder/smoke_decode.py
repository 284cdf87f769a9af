"""Reads an FFV1 clip with the installed capture module and compares a frame with cv2's.

Run by smoke.sh and smoke_qemu.sh with the interpreter a wheel was installed for: cv2 writes
ten frames of distinct colours, decodes them itself, and the capture's frame of the number it
reports must equal cv2's frame of that number, byte for byte.
"""
import os
import tempfile

import cv2
import numpy as np
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
