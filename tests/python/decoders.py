"""Which OpenCV decodes in this process: the system's shared libraries, or one carried inside
an extension module (a wheel's cv2, a capture built with its own decoder)."""
import os
import subprocess


def cv2_library():
    """The shared object of cv2's extension module, as mapped into this process."""
    import cv2  # noqa: F401  (mapped by the import)
    with open("/proc/self/maps", encoding="utf-8") as maps:
        paths = {line.split()[-1] for line in maps if line.rstrip().endswith(".so")}
    found = [p for p in paths if os.path.basename(p).startswith("cv2.")]
    assert len(found) == 1, found
    return found[0]


def carries_its_own_opencv(library):
    """True when the extension module links no libopencv_*: a wheel's cv2, or a capture built
    with its own decoder."""
    needed = subprocess.run(["readelf", "-d", library], capture_output=True, text=True)
    return needed.returncode == 0 and "libopencv_core" not in needed.stdout


def capture_library():
    import corvane.plugins.video.capture as capture
    return os.path.realpath(capture.__file__)


def same_decoder_as_cv2():
    """True when the capture and cv2 decode with the very same OpenCV and FFmpeg: both link
    the system's libraries."""
    return not carries_its_own_opencv(capture_library()) and \
        not carries_its_own_opencv(cv2_library())


def reference_frames(clip):
    """Every frame cv2 of this environment decodes from `clip`, in order, until its first
    failed read."""
    import cv2
    reader = cv2.VideoCapture(clip)
    frames = []
    try:
        while True:
            ok, frame = reader.read()
            if not ok:
                return frames
            frames.append(frame)
    finally:
        reader.release()
