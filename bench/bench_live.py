"""Live sources: how old the current frame is on a live camera, and which reader delivers
the most frames.

Frame age: an ffmpeg server on 127.0.0.1 serves an MJPEG camera over HTTP at 30 fps (which
OpenCV reports as 25 fps), fed in real time with frames that encode their index (the test
suite's live_servers.LiveServer), so a reader can tell how long ago the frame it holds was
fed. Each reader plays 8 s, pauses 3 s and plays on; the age is the median of samples taken
at random moments in the last second before the pause and around 2 s after it. Readers:
the capture, the capture forced to file pacing (CORVANE_VIDEO_SOURCE_KIND=file: how every
source was played before live sources were told from files), and a plain cv2.VideoCapture
reader thread (which stops reading while paused). For the capture, each sample also takes
the age its FrameInfo reports (time.monotonic() - info.monotonic, the time since the worker
published the frame): it must agree with the measured age up to the server's and the
decoder's share, which comes before the publication (`pipeline_s`, never negative).

The capture in a process that imports PyAV: bench_readers.py, run in a child process.
"""
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time

import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python", "live"))

from live_servers import LiveServer  # noqa: E402

PLAY, PAUSE, AFTER = 8.0, 3.0, 2.0


class Cv2ThreadReader:
    """A plain reader thread: cv2.VideoCapture.read in a loop, latest frame kept."""

    def __init__(self, url):
        self.source = cv2.VideoCapture(url)
        self.latest = None
        self.paused = False
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            if self.paused:
                time.sleep(0.01)
                continue
            ok, frame = self.source.read()
            if not ok:
                return
            self.latest = frame

    def get_frame(self):
        return self.latest

    def pause(self):
        self.paused = True

    def resume(self):
        self.paused = False

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)
        self.source.release()


def _capture(url):
    from corvane.plugins.video.capture import ParallVideoCapture
    capture = ParallVideoCapture(url)
    assert capture.start()
    return capture


def _ages(server, reader, until, pairs):
    """Median age of the frames sampled until `until`; (measured age, FrameInfo age) of
    each sample of a reader that gives frame info go to `pairs`."""
    ages = []
    while time.monotonic() < until:
        time.sleep(random.uniform(0.01, 0.06))
        info = None
        if hasattr(reader, "get_frame_with_info"):
            info, frame = reader.get_frame_with_info()
        else:
            frame = reader.get_frame()
        info_age = None if info is None else time.monotonic() - info.monotonic
        age = None if frame is None else server.age(frame)
        if age is not None:
            ages.append(age)
            if info_age is not None:
                pairs.append((age, info_age))
    return statistics.median(ages)


def _age_run(make_reader, kind):
    server = LiveServer("mjpeg-http", fps=30.0, seconds=PLAY + PAUSE + AFTER + 10)
    previous = os.environ.get("CORVANE_VIDEO_SOURCE_KIND")
    os.environ["CORVANE_VIDEO_SOURCE_KIND"] = kind
    try:
        reader = make_reader(server.url)
        started = time.monotonic()
        time.sleep(PLAY - 1.0)
        playing_pairs, after_pairs = [], []
        playing = _ages(server, reader, started + PLAY, playing_pairs)
        reader.pause()
        time.sleep(PAUSE)
        reader.resume()
        resumed = time.monotonic()
        time.sleep(AFTER - 0.25)
        after = _ages(server, reader, resumed + AFTER + 0.25, after_pairs)
        reader.stop()
        result = {"playing_s": playing, "after_pause_s": after}
        pairs = playing_pairs + after_pairs
        if playing_pairs and after_pairs:
            result.update({
                "info_playing_s": statistics.median(i for _, i in playing_pairs),
                "info_after_pause_s": statistics.median(i for _, i in after_pairs),
                "pipeline_s": statistics.median(a - i for a, i in pairs),
                "pipeline_max_s": max(a - i for a, i in pairs),
                "info_never_older": all(i <= a for a, i in pairs),
                "samples": len(pairs),
            })
        return result
    finally:
        server.stop()
        if previous is None:
            del os.environ["CORVANE_VIDEO_SOURCE_KIND"]
        else:
            os.environ["CORVANE_VIDEO_SOURCE_KIND"] = previous


def run_age():
    return {
        "capture": _age_run(_capture, "auto"),
        "capture_file_pacing": _age_run(_capture, "file"),
        "cv2_thread": _age_run(Cv2ThreadReader, "auto"),
    }


def run_readers():
    results = {}
    for mode in ("pyav-log",):
        out = subprocess.run([sys.executable, os.path.join(HERE, "bench_readers.py"), mode],
                             capture_output=True, text=True, check=True).stdout
        results.update(json.loads(out.strip().splitlines()[-1]))
    return results


if __name__ == "__main__":
    # The frame-age comparison alone, for the capture.
    print(json.dumps(_age_run(_capture, "auto"), indent=1))
