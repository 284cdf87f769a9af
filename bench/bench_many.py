"""1, 4 and 16 captures of a 1280x720 25 fps H.264 clip at once in one process, a tick
loop reading all of them at 25 Hz; against the pure-Python baseline reader."""
import time

import clipgen
from baseline_reader import PythonThreadedReader
from measure import cpu_seconds, percentile
from corvane.plugins.video.capture import ParallVideoCapture

SECONDS = 6.0
WARMUP = 1.0


def _one(reader_class, path, count):
    readers = [reader_class(path) for _ in range(count)]
    for r in readers:
        assert r.start()
    time.sleep(WARMUP)
    cpu0 = cpu_seconds()
    t0 = time.monotonic()
    ticks = []
    next_tick = t0
    while time.monotonic() - t0 < SECONDS:
        s = time.perf_counter()
        for r in readers:
            r.get_frame()
        ticks.append(time.perf_counter() - s)
        next_tick += 0.04
        delay = next_tick - time.monotonic()
        if delay > 0:
            time.sleep(delay)
    t1 = time.monotonic()
    cpu = cpu_seconds() - cpu0
    rates = []
    for r in readers:
        published = [p[2] for p in r._publication_timings() if t0 <= p[2] <= t1]
        rates.append((len(published) - 1) / (published[-1] - published[0]) if len(published) > 1 else 0.0)
    for r in readers:
        r.stop()
    return {
        "min_rate": min(rates),
        "mean_rate": sum(rates) / len(rates),
        "cpu_per_stream": cpu / (t1 - t0) / count,
        "tick_p99_ms": percentile(ticks, 99) * 1e3,
    }


def run():
    path = clipgen.clip("h264", 1280, 720, 25.0, 250)
    results = []
    for count in (1, 4, 16):
        results.append({
            "streams": count,
            "capture": _one(ParallVideoCapture, path, count),
            "baseline": _one(PythonThreadedReader, path, count),
        })
    return {"clip": "H.264 1280x720 25 fps, 250 frames, looping", "seconds": SECONDS, "rows": results}
