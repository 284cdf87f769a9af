"""The plug-in in the environment it runs in (Debian's packages, or a virtual environment with
numpy and OpenCV from wheels; the capture linked to the system's OpenCV or carrying its own):
it decodes natively, its frames are the ones this environment's cv2 decodes, it keeps
publishing while the main thread is busy in Python, and its OpenCV shares the process with
cv2's, whichever is imported first."""
import json
import os
import re
import subprocess
import sys

import cv2
import numpy as np
import pytest

import clips
from decoders import capture_library, carries_its_own_opencv, cv2_library, reference_frames
import corvane.plugins.video.capture as capture
from publication_rate import publication_rates

PACKAGING_DIR = os.path.dirname(os.path.abspath(__file__))
CV2_LIBRARY = cv2_library()
CAPTURE_LIBRARY = capture_library()


def cv2_is_a_wheel():
    return carries_its_own_opencv(CV2_LIBRARY)


# A width of whole 16-pixel blocks lets a bundled OpenCV convert straight into the capture's
# frame; any other width takes OpenCV's own buffer and a copy.
@pytest.mark.parametrize("size", [(160, 120), (174, 98)], ids=["whole-blocks", "ragged"])
def test_frames_of_a_lossless_clip_are_the_ones_cv2_decodes(capture_module, clip_dir, size):
    clip = clips.write_clip(clip_dir / "same.mkv", frames=40, fps=100.0, width=size[0], height=size[1])
    expected = reference_frames(clip)
    assert [clips.frame_index(f) for f in expected] == list(range(40))
    cap = capture_module.ParallVideoCapture(clip, False)
    seen = {}
    try:
        assert cap.start()
        assert type(cap.cap).__name__ == "_NativeVideoCapture"
        while cap.is_running() or not seen:
            if cap.frame_ready.wait(1.0):
                number, frame = cap.get_frame_with_number()
                seen.setdefault(number, frame)
    finally:
        cap.stop()
    assert len(seen) >= 10
    for number, frame in seen.items():
        assert frame.dtype == np.uint8 and frame.shape == expected[number - 1].shape
        assert np.array_equal(frame, expected[number - 1]), number


def test_publishes_at_its_idle_rate_with_the_main_thread_busy(capture_module, clip_dir):
    clip = clips.write_clip(clip_dir / "rate.mkv", frames=600, fps=200.0)
    # With a 50 ms switch interval, a worker that needed the interpreter lock per frame would
    # wait up to 50 ms for it each time: 20 frames a second at most. The margin leaves room
    # for a loaded machine.
    idle, busy, native = publication_rates(capture_module, clip, 1.0, switch_interval=0.05)
    assert native
    assert idle > 50 and busy >= 0.5 * idle, (idle, busy)


# Run in a child interpreter: both OpenCVs decode the same clip at once, then the process
# exits with the capture still running. Prints which OpenCV and FFmpeg libraries are mapped.
TWO_OPENCVS = r"""
import json, sys, threading, time
first = sys.argv[2]
if first == "cv2":
    import cv2
    import corvane.plugins.video.capture as capture
else:
    import corvane.plugins.video.capture as capture
    import cv2
import clips
from decoders import capture_library, carries_its_own_opencv, cv2_library, reference_frames
capture.logger.remove()
cap = capture.ParallVideoCapture(sys.argv[1], True)
assert cap.start() and cap.frame_ready.wait(5.0)
own = []
def decode_with_cv2():
    for _ in range(3):
        reader = cv2.VideoCapture(sys.argv[1])
        while True:
            ok, frame = reader.read()
            if not ok:
                break
            own.append(clips.frame_index(frame))
        reader.release()
thread = threading.Thread(target=decode_with_cv2)
thread.start()
numbers = set()
while thread.is_alive():
    number, frame = cap.get_frame_with_number()
    if number:             # numbered from 1 at each open; 0 (with the last frame) in between
        assert clips.frame_index(frame) == number - 1, number
        numbers.add(number)
    time.sleep(0.002)
thread.join()
with open("/proc/self/maps") as maps:
    libraries = sorted({line.split()[-1] for line in maps
                        if "libopencv_videoio" in line or "libavcodec" in line or "cv2" in line})
print(json.dumps({"own": own, "numbers": len(numbers), "native": type(cap.cap).__name__,
                  "libraries": libraries}))
"""


@pytest.mark.parametrize("first", ["cv2", "capture"])
def test_two_opencvs_in_one_process(run_python, clip_dir, first):
    clip = clips.write_clip(clip_dir / "both.mkv", frames=60, fps=200.0)
    child = run_python(TWO_OPENCVS, args=(clip, first), timeout=60)
    assert child.returncode == 0 and child.stderr == "", child.stderr
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["own"] == list(range(60)) * 3
    assert report["numbers"] >= 10 and report["native"] == "_NativeVideoCapture"
    # The system's OpenCV is mapped when the capture or cv2 links it; a capture with its own
    # decoder maps no OpenCV or FFmpeg library at all.
    bundled = carries_its_own_opencv(CAPTURE_LIBRARY)
    videoio = [lib for lib in report["libraries"] if "libopencv_videoio" in lib]
    assert len(videoio) == (0 if bundled and cv2_is_a_wheel() else 1), report["libraries"]
    if cv2_is_a_wheel():
        # The wheel brings its own FFmpeg under sonames of its own, beside the system's.
        codecs = [os.path.basename(lib) for lib in report["libraries"] if "libavcodec" in lib]
        owners = 1 if bundled else 2
        assert len(codecs) == owners and len(set(c.split(".so")[0] for c in codecs)) == owners, \
            codecs


LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}


@pytest.mark.parametrize("library, entry", [(CV2_LIBRARY, "PyInit_cv2"),
                                            (CAPTURE_LIBRARY, "PyInit_capture")],
                         ids=["cv2", "capture"])
def test_an_opencv_carried_inside_a_module_is_not_exported(library, entry):
    # What the shared-library arrangement rests on: a module that carries OpenCV (a wheel's
    # cv2, a capture with its own decoder) exports only its entry point, the linker's boundary
    # symbols and weak instances of standard-library templates, so neither copy of OpenCV or
    # FFmpeg can take the other's symbols.
    if not carries_its_own_opencv(library):
        pytest.skip("%s links the system's OpenCV" % os.path.basename(library))
    listing = subprocess.run(["nm", "-D", "--defined-only", "-C", library],
                             capture_output=True, text=True, check=True).stdout
    offenders = []
    for line in listing.splitlines():
        kind, name = line.split(" ", 2)[1:]
        bare = re.sub(r"^(typeinfo name for |typeinfo for |vtable for |void )", "", name)
        if name in LINKER_SYMBOLS | {entry}:
            continue
        if kind in "WVu" and bare.startswith("std::"):
            continue
        offenders.append(line)
    assert offenders == []
