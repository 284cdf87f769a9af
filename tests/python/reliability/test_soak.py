"""Long runs: a clip looping by auto_reload through thousands of re-opens, and thousands of
start/stop cycles. Resident memory stays put, and open file descriptors, native threads
and Python threads come back to where they were. Each run is a child interpreter of its
own, so that its measurements see nothing of the test runner."""
import json

import pytest

from reliability_support import scaled

REOPENS = scaled(200, 10_000)
CYCLES = scaled(50, 1_000)
# A leak of a few hundred bytes per re-open or cycle shows at full size; the short runs
# keep the same bound (they measured a few tens of kB) and rely on the object counts below.
RSS_GROWTH_KB = 2048

SOAK = r"""
import gc, json, os, sys, threading, time
import numpy as np
import corvane.plugins.video.capture as mod
from log_recorder import LogRecorder
from capture_support import POS_FRAMES, FPS, FRAME_COUNT, WIDTH, HEIGHT

clip, reopens, cycles, kind = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
log = mod.logger = LogRecorder(keep=20)
LIVE = {"sources": 0, "frames": 0}


class Frame:
    # A frame of a Python source; copies are counted as well.
    def __init__(self, index):
        self.index = index
        self.pixels = np.zeros((32, 32, 3), np.uint8)
        LIVE["frames"] += 1

    def copy(self):
        return Frame(self.index)

    def __del__(self):
        LIVE["frames"] -= 1


class Source:
    # One frame, then either the end of the stream or (every third source) an error.
    def __init__(self, path):
        LIVE["sources"] += 1
        self.serial = Source.made = getattr(Source, "made", 0) + 1
        self.pos = 0

    def isOpened(self):
        return True

    def get(self, prop):
        return {FPS: 1000.0, FRAME_COUNT: 1.0, WIDTH: 32.0, HEIGHT: 32.0}.get(prop, 0.0)

    def set(self, prop, value):
        return True

    def read(self):
        self.pos += 1
        if self.pos == 1:
            return True, Frame(0)
        if self.serial % 3 == 0:
            raise RuntimeError("stream broke")
        return False, None

    def release(self):
        pass

    def __del__(self):
        LIVE["sources"] -= 1


if kind == "python":
    mod.cv2.VideoCapture = Source


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])


def snapshot():
    gc.collect()
    return dict(rss=rss_kb(), fds=len(os.listdir("/proc/self/fd")),
                tasks=len(os.listdir("/proc/self/task")), threads=threading.active_count())


peaks = dict(fds=0, tasks=0)


def sample():
    peaks["fds"] = max(peaks["fds"], len(os.listdir("/proc/self/fd")))
    peaks["tasks"] = max(peaks["tasks"], len(os.listdir("/proc/self/task")))


def loop_run(count):
    # One capture re-opening `count` times, read all along by a second thread.
    cap = mod.ParallVideoCapture(clip)
    done = threading.Event()

    def reader():
        while not done.is_set():
            cap.get_frame_with_number()
            cap.get_frame(True, 0.01)

    first = log.counts["reload"]
    assert cap.start()
    t = threading.Thread(target=reader)
    t.start()
    deadline = time.monotonic() + 600
    while log.counts["reload"] - first < count:
        assert cap.is_running(), log.lines
        assert time.monotonic() < deadline
        sample()
        time.sleep(0.01)
    cap.stop()
    done.set()
    t.join()


def cycle_run(count):
    # `count` start/stop cycles: half on one capture, half on captures made for the cycle
    # and dropped after it.
    kept = mod.ParallVideoCapture(clip)
    for i in range(count):
        cap = kept if i % 2 else mod.ParallVideoCapture(clip)
        assert cap.start()
        if i % 4 < 2:
            cap.get_frame(True, 0.05)
        cap.stop()
        del cap
        if i % 10 == 0:
            sample()


# Warm up: libraries, decoder threads and allocator arenas reach their working size.
loop_run(100)
cycle_run(20)
time.sleep(0.2)
base = snapshot()
loop_run(reopens)
after_loop = snapshot()
cycle_run(cycles)
time.sleep(0.2)
after_cycles = snapshot()
print(json.dumps(dict(base=base, after_loop=after_loop, after_cycles=after_cycles, peaks=peaks,
                      live=LIVE, errors=log.counts["error"], reloads=log.counts["reload"],
                      last=log.lines[-3:])))
"""


@pytest.mark.parametrize("kind", ["native", "python"])
def test_long_runs_leave_nothing_behind(run_python, one_frame_clip, kind):
    result = run_python(SOAK, timeout=scaled(120, 1800),
                        args=[one_frame_clip, REOPENS, CYCLES, kind])
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stderr == ""
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    base = outcome["base"]
    for stage in ("after_loop", "after_cycles"):
        now = outcome[stage]
        assert now["rss"] - base["rss"] < RSS_GROWTH_KB, (stage, outcome)
        assert (now["fds"], now["tasks"], now["threads"]) == \
            (base["fds"], base["tasks"], base["threads"]), (stage, outcome)
    # While running: one worker and one reader, plus what a decoder may open.
    assert outcome["peaks"]["fds"] <= base["fds"] + 8, outcome
    assert outcome["peaks"]["tasks"] <= base["tasks"] + 8, outcome
    assert outcome["reloads"] >= REOPENS + 100
    if kind == "python":
        # Every source and frame a Python source handed over has been given back.
        assert outcome["live"] == {"sources": 0, "frames": 0}, outcome
    else:
        assert outcome["errors"] == 0, outcome
