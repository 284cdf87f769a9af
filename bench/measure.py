"""Shared measuring helpers for the benchmarks."""
import os
import platform
import statistics
import threading
import time

import numpy as np


def percentile(values, q):
    return float(np.percentile(np.asarray(values, dtype=np.float64), q))


def median(values):
    return float(statistics.median(values))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores ({model}), Linux {platform.release()}, Python {platform.python_version()}"


class BusyGil:
    """A thread that keeps the interpreter lock busy with pure-Python work."""

    def __init__(self):
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        x = 0
        while not self._stop.is_set():
            for i in range(1000):
                x = (x * 31 + i) % 1000003

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def wait_frames(capture, count, timeout=10.0):
    """Waits until `capture` has published `count` frames since this call."""
    deadline = time.monotonic() + timeout
    start = len(capture._publication_timings())
    while len(capture._publication_timings()) - start < count and time.monotonic() < deadline:
        time.sleep(0.01)


def time_calls(fn, n):
    """Per-call seconds of `n` calls of `fn`."""
    out = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


class NodeHandle:
    """The smallest node handle for timing a tick: one input object, outputs dropped."""

    def __init__(self, capture):
        self._capture = capture

    def getInputObject(self, name):
        return self._capture

    def setOutput(self, name, value):
        return None
