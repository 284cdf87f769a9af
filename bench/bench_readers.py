"""Frames per second delivered by four readers of the same unpaced clip, with the main
thread idle and with the main thread busy with pure-Python work.

Readers: the capture (read back to back: CORVANE_VIDEO_SOURCE_KIND=live), a plain
cv2.VideoCapture reader thread, a PyAV decode thread (frames converted to BGR arrays, as
the others deliver them) and the pure-Python baseline reader (baseline_reader.py). The clip
reports 100000 fps, so the baseline's pacing wait is negligible too.

Importing PyAV installs a Python log callback into FFmpeg for the whole process, after
which every FFmpeg log call (the capture's native decoder included) takes the interpreter
lock. So this script measures the capture, the cv2 thread and the baseline first, then the
capture right after `import av`, then again after av.logging.restore_default_callback(),
and the PyAV reader last, with FFmpeg's own callback restored, for a fair comparison.

Run as a script (it prints JSON); bench_live.run_readers() does so in a child process, so
the import of PyAV stays out of the other benchmarks.
"""
import json
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cv2  # noqa: E402

import clipgen  # noqa: E402
from baseline_reader import PythonThreadedReader  # noqa: E402
from measure import median  # noqa: E402

FRAMES = 3000
WINDOW = 2.0  # seconds a run lasts at most
RUNS = 3


def busy_chunk(seconds=0.001):
    """Pure-Python work for about `seconds`, holding the interpreter lock."""
    deadline = time.perf_counter() + seconds
    x = 0
    while time.perf_counter() < deadline:
        for i in range(200):
            x = (x * 31 + i) % 1000003
    return x


class ThreadReader:
    """A reader thread around `frames()`, an iterator of BGR arrays; counts what it delivers."""

    def __init__(self, frames):
        self.count = 0
        self.latest = None
        self.done = False
        self._frames = frames
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            for frame in self._frames:
                self.latest = frame
                self.count += 1
                if self.done:
                    return
        finally:
            self.done = True

    def start(self):
        self._thread.start()
        return self

    def delivered(self):
        return self.count

    def running(self):
        return not self.done

    def stop(self):
        self.done = True
        self._thread.join()


def cv2_frames(path):
    source = cv2.VideoCapture(path)
    try:
        while True:
            ok, frame = source.read()
            if not ok:
                return
            yield frame
    finally:
        source.release()


def pyav_frames(path):
    import av
    with av.open(path) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"  # decoder threads, as OpenCV's FFmpeg backend uses them
        for frame in container.decode(stream):
            yield frame.to_ndarray(format="bgr24")


class SilentLogger:
    def info(self, text):
        pass

    warning = error = info


class CaptureReader:
    def __init__(self, path):
        from corvane.plugins.video import capture
        capture.logger = SilentLogger()  # the info line of each start is not measured
        self.capture = capture.ParallVideoCapture(path, False)

    def start(self):
        assert self.capture.start()
        return self

    def delivered(self):
        return int(self.capture.current_frame_number)

    def running(self):
        return self.capture.is_running()

    def stop(self):
        self.capture.stop()


class BaselineReader:
    def __init__(self, path):
        self.reader = PythonThreadedReader(path, auto_reload=False)

    def start(self):
        assert self.reader.start()
        return self

    def delivered(self):
        return self.reader.current_frame_number

    def running(self):
        return self.reader.running

    def stop(self):
        self.reader.stop()


def rate(make_reader, busy):
    """Frames per second from the first frame until the end of the clip or WINDOW."""
    reader = make_reader().start()
    try:
        while reader.delivered() == 0 and reader.running():
            time.sleep(0.0005)
        t0, n0 = time.monotonic(), reader.delivered()
        while reader.running() and time.monotonic() - t0 < WINDOW:
            if busy:
                busy_chunk()
            else:
                time.sleep(0.001)
        return (reader.delivered() - n0) / (time.monotonic() - t0)
    finally:
        reader.stop()


def measure(make_reader):
    return {mode: median([rate(make_reader, mode == "busy") for _ in range(RUNS)])
            for mode in ("idle", "busy")}


def main():
    os.environ["CORVANE_VIDEO_SOURCE_KIND"] = "live"
    path = clipgen.clip("h264", 640, 480, 100000.0, FRAMES)
    out = {"clip": f"H.264 640x480, {FRAMES} frames", "runs": RUNS, "window_s": WINDOW}
    out["capture"] = measure(lambda: CaptureReader(path))
    out["cv2_thread"] = measure(lambda: ThreadReader(cv2_frames(path)))
    out["baseline"] = measure(lambda: BaselineReader(path))
    import av
    import av.logging
    out["capture_after_import_av"] = median(
        [rate(lambda: CaptureReader(path), True) for _ in range(RUNS)])
    av.logging.restore_default_callback()
    out["capture_after_restore"] = median(
        [rate(lambda: CaptureReader(path), True) for _ in range(RUNS)])
    out["pyav_thread"] = measure(lambda: ThreadReader(pyav_frames(path)))
    print(json.dumps(out))


if __name__ == "__main__":
    main()
