"""The capture with the main thread busy, in a process that imports PyAV.

Importing PyAV installs a Python log callback into FFmpeg for the whole process, after
which every FFmpeg log call (the capture's native decoder included) takes the interpreter
lock. This measures the capture's rate on an unpaced clip (read back to back:
CORVANE_VIDEO_SOURCE_KIND=live) with the main thread busy in pure Python: before
`import av`, after it, and after av.logging.restore_default_callback(). The readers of
other packages are compared in bench_peers.py, each in a process of its own.

Run as a script (prints JSON); bench_live.run_readers() runs it in a child process.
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import clipgen  # noqa: E402
from measure import median  # noqa: E402
from peer_readers import CaptureReader, busy_chunk  # noqa: E402

FRAMES = 3000
WINDOW = 2.0  # seconds a run lasts at most
RUNS = 5


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
    out.update(pyav_log_callback(path))
    print(json.dumps(out))


if __name__ == "__main__":
    main()
