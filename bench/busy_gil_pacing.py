"""Pacing while the interpreter lock is busy.

A capture plays a generated clip that reports 200 fps while the main thread runs a
pure-Python loop, so the interpreter lock is almost never free. The worker paces each
read to the frame interval measured from the previous publication, so the rate it can
reach is 1 / (interval + read time). The script reports that paced rate, the rate the
capture achieved during the busy loop (median of several runs) and, for contrast, the
rate of a pure-Python reader thread of the same design under the same load.

Run: PYTHONPATH=build/python python3 bench/busy_gil_pacing.py [--runs 5] [--seconds 1.5]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, HERE)

import clips  # noqa: E402
from baseline_reader import PythonThreadedReader  # noqa: E402

FPS = 200.0
FRAMES = 1200          # 6 s of video: no run reaches the end of the clip


class SilentLogger:
    def info(self, text):
        pass

    warning = error = info


def busy(seconds):
    """Keep this thread in pure-Python bytecode for `seconds`."""
    deadline = time.perf_counter() + seconds
    count = 0
    while time.perf_counter() < deadline:
        count += 1
    return count


def read_time(path, frames=300):
    """Mean seconds per read of a bare OpenCV capture on `path`."""
    source = cv2.VideoCapture(path)
    try:
        source.read()
        t0 = time.perf_counter()
        for _ in range(frames):
            ok, _frame = source.read()
            if not ok:
                raise RuntimeError("clip too short for the read-time measurement")
        return (time.perf_counter() - t0) / frames
    finally:
        source.release()


def publication_rate(reader_class, path, seconds, warmup=0.2):
    """Frames published per second by `reader_class` on `path` while this thread is busy."""
    reader = reader_class(path, False)
    if not reader.start():
        raise RuntimeError("cannot open " + path)
    try:
        time.sleep(warmup)
        n0, t0 = reader.current_frame_number, time.perf_counter()
        busy(seconds)
        n1, t1 = reader.current_frame_number, time.perf_counter()
        return (n1 - n0) / (t1 - t0)
    finally:
        reader.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.5, help="length of each busy loop")
    args = parser.parse_args(argv)

    import corvane.plugins.video.capture as capture
    capture.logger = SilentLogger()

    with tempfile.TemporaryDirectory() as tmp:
        path = clips.write_clip(os.path.join(tmp, "pacing.mkv"), frames=FRAMES, fps=FPS)
        per_read = read_time(path)
        paced = 1.0 / (1.0 / FPS + per_read)
        native = [publication_rate(capture.ParallVideoCapture, path, args.seconds)
                  for _ in range(args.runs)]
        python = [publication_rate(PythonThreadedReader, path, args.seconds)
                  for _ in range(args.runs)]

    achieved = statistics.median(native)
    ratio = achieved / paced
    print(f"clip: {FRAMES} frames, 160x120 FFV1, reports {FPS:.0f} fps "
          f"(interval {1000 / FPS:.2f} ms)")
    print(f"read time: {per_read * 1000:.3f} ms -> paced rate 1/(interval + read) = {paced:.1f} fps")
    print(f"main thread busy in pure Python for {args.seconds:.1f} s per run, {args.runs} runs")
    print(f"ParallVideoCapture: median {achieved:.1f} fps "
          f"({ratio * 100:.1f} % of paced; runs: {', '.join(f'{r:.1f}' for r in native)})")
    print(f"pure-Python reader: median {statistics.median(python):.1f} fps "
          f"(runs: {', '.join(f'{r:.1f}' for r in python)})")
    within = abs(ratio - 1.0) <= 0.10
    print("within 10 % of the paced rate: " + ("yes" if within else "NO"))
    return 0 if within else 1


if __name__ == "__main__":
    sys.exit(main())
