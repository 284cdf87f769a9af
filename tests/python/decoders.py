"""Which OpenCV decodes in this process: the system's shared libraries, or one carried inside
an extension module (a wheel's cv2, a capture built with its own decoder); and the frames that
decoder gives a clip, read as a plain cv2 loop reads them."""
import functools
import os
import subprocess
import tempfile

SYSTEM_PYTHON = "/usr/bin/python3"

# Run by the system's Python: the videoio library its cv2 decodes with.
SYSTEM_CV2_VIDEOIO = """
import os, cv2
with open("/proc/self/maps") as maps:
    print(sorted({os.path.realpath(l.split()[-1]) for l in maps
                  if os.path.basename(l.split()[-1]).startswith("libopencv_videoio")}))
"""


def system_python(*args, cwd=None):
    """Run the system's Python with `args`, free of this process's Python settings and venv."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    return subprocess.run([SYSTEM_PYTHON, *args], capture_output=True, text=True,
                          timeout=300, env=env, cwd=cwd or tempfile.gettempdir())


def mapped_libraries(prefix):
    """The real paths of the shared objects named `prefix`* mapped into this process."""
    with open("/proc/self/maps", encoding="utf-8") as maps:
        paths = {line.split()[-1] for line in maps if line.rstrip().endswith(".so")
                 or ".so." in line.split()[-1]}
    return sorted({os.path.realpath(p) for p in paths if os.path.basename(p).startswith(prefix)})


def cv2_library():
    """The shared object of cv2's extension module, as mapped into this process."""
    import cv2  # noqa: F401  (mapped by the import)
    found = mapped_libraries("cv2.")
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


def read_all(clip):
    """Every frame this process's cv2 decodes from `clip`, in order, until its first failed
    read."""
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


@functools.lru_cache(maxsize=None)
def system_cv2_decodes_for_the_capture():
    """True when the capture links the system's OpenCV, cv2 here is a wheel's, and the system's
    Python has a cv2 over the very libopencv_videoio the capture linked."""
    linked = mapped_libraries("libopencv_videoio")
    if (carries_its_own_opencv(capture_library()) or not carries_its_own_opencv(cv2_library())
            or not linked or not os.path.exists(SYSTEM_PYTHON)):
        return False
    done = system_python("-c", SYSTEM_CV2_VIDEOIO)
    return done.returncode == 0 and done.stdout.strip() == repr(linked)


def reference_is_the_captures_decoder():
    """True when reference_frames decodes with the capture's own OpenCV and FFmpeg."""
    return same_decoder_as_cv2() or system_cv2_decodes_for_the_capture()


def reference_frames(clip):
    """Every frame of `clip`, until the first failed read, as a plain cv2 loop decodes it;
    with the capture's own decoder where one is at hand: where the capture links the system's
    OpenCV but cv2 here is a wheel's, the system's cv2 reads the clip in a child process."""
    if not system_cv2_decodes_for_the_capture():
        return read_all(clip)
    import numpy as np
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "frames.npz")
        # This file run as a script by the system's Python: read_all with its cv2.
        done = system_python(os.path.abspath(__file__), os.path.abspath(clip), out, cwd=folder)
        assert done.returncode == 0, done.stderr[-3000:]
        with np.load(out) as saved:
            return [saved["arr_%d" % i] for i in range(len(saved.files))]


if __name__ == "__main__":
    import sys

    import numpy
    numpy.savez(sys.argv[2], *read_all(sys.argv[1]))
