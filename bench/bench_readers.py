"""Frames per second delivered by four readers of the same unpaced clip, with the main
thread idle and with the main thread busy with pure-Python work.

Readers: the capture (read back to back: CORVANE_VIDEO_SOURCE_KIND=live), a plain
cv2.VideoCapture reader thread, a PyAV decode thread (frames converted to BGR arrays, as
the others deliver them) and the pure-Python baseline reader (baseline_reader.py). The clip
reports 100000 fps, so the baseline's pacing wait is negligible too.

Importing PyAV installs a Python log callback into FFmpeg for the whole process, after
which every FFmpeg log call (the capture's native decoder included) takes the interpreter
lock. `compare` therefore restores FFmpeg's own callback before measuring; the other mode
measures the capture with a busy main thread before `import av`, after it, and after
av.logging.restore_default_callback().

Run as a script, `bench_readers.py compare` or `bench_readers.py pyav-log` (each prints
JSON); bench_live.run_readers() runs both, each in a child process of its own.
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
RUNS = 5


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


def compare(path):
    """Every reader in turn, run after run, so that a change of the machine's load during
    the measurement falls on all of them alike. PyAV's log callback is replaced by FFmpeg's
    own right after the import, for a fair comparison."""
    import av.logging
    av.logging.restore_default_callback()
    readers = {"capture": lambda: CaptureReader(path),
               "cv2_thread": lambda: ThreadReader(cv2_frames(path)),
               "pyav_thread": lambda: ThreadReader(pyav_frames(path)),
               "baseline": lambda: BaselineReader(path)}
    rates = {name: {"idle": [], "busy": []} for name in readers}
    for mode in ("idle", "busy"):
        for _ in range(RUNS):
            for name, make in readers.items():
                rates[name][mode].append(rate(make, mode == "busy"))
    out = {name: {mode: median(r) for mode, r in modes.items()} for name, modes in rates.items()}
    # Ratios per run, then their median: steadier than a ratio of medians.
    others = [name for name in readers if name != "capture"]
    out["busy_ratio"] = median([rates["capture"]["busy"][i] / max(rates[o]["busy"][i] for o in others)
                                for i in range(RUNS)])
    out["idle_ratio"] = median([rates["capture"]["idle"][i] / rates["cv2_thread"]["idle"][i]
                                for i in range(RUNS)])
    return out


def pyav_log_callback(path):
    """The capture with a busy main thread: before `import av`, after it, and after
    av.logging.restore_default_callback()."""
    busy = lambda: median([rate(lambda: CaptureReader(path), True) for _ in range(RUNS)])  # noqa: E731
    out = {"capture_before_import_av": busy()}
    import av.logging
    out["capture_after_import_av"] = busy()
    av.logging.restore_default_callback()
    out["capture_after_restore"] = busy()
    return out


def main():
    os.environ["CORVANE_VIDEO_SOURCE_KIND"] = "live"
    path = clipgen.clip("h264", 640, 480, 100000.0, FRAMES)
    out = {"clip": f"H.264 640x480, {FRAMES} frames", "runs": RUNS, "window_s": WINDOW}
    out.update(compare(path) if sys.argv[1:] == ["compare"] else pyav_log_callback(path))
    print(json.dumps(out))


if __name__ == "__main__":
    main()
