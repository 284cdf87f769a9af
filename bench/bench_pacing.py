"""Pacing and wake-up latency.

Spacing of publications on a 50 fps clip while another Python thread keeps the
interpreter lock busy: the deviation from the spacing the pacing rule gives (the frame
interval plus the read's own time), for the capture and for the pure-Python baseline of
the same design. And the latency from a publication to the return of a waiting
get_frame(wait_for_frame=True).
"""
import time

import clipgen
from baseline_reader import PythonThreadedReader
from measure import BusyGil, percentile
from corvane.plugins.video.capture import ParallVideoCapture

SECONDS = 4.0
RUNS = 3


def _deviations(timings, interval):
    out = []
    for prev, cur in zip(timings, timings[1:]):
        spacing = cur[2] - prev[2]
        expected = interval + (cur[1] - cur[0])
        out.append(abs(spacing - expected))
    return out


def _spacing_run(reader_class, path, interval):
    reader = reader_class(path)
    assert reader.start()
    time.sleep(0.3)
    with BusyGil():
        time.sleep(SECONDS)
        timings = reader._publication_timings()
    reader.stop()
    window = [t for t in timings if t[2] >= timings[-1][2] - SECONDS + 0.2]
    return window, _deviations(window, interval)


def run_spacing():
    path = clipgen.clip("h264", 640, 480, 50.0, 500)
    interval = 1.0 / 50.0
    result = {"clip": "H.264 640x480 50 fps, looping", "runs": RUNS, "seconds": SECONDS}
    series = {}
    for name, cls in (("capture", ParallVideoCapture), ("baseline", PythonThreadedReader)):
        p50s, p99s, spacings = [], [], None
        for _ in range(RUNS):
            window, devs = _spacing_run(cls, path, interval)
            p50s.append(percentile(devs, 50) * 1e3)
            p99s.append(percentile(devs, 99) * 1e3)
            if spacings is None:
                spacings = [(b[2] - a[2]) * 1e3 for a, b in zip(window, window[1:])]
        result[name] = {"p50_ms": sorted(p50s)[len(p50s) // 2], "p99_ms": sorted(p99s)[len(p99s) // 2]}
        series[name] = spacings
    result["p99_advantage"] = result["baseline"]["p99_ms"] / max(result["capture"]["p99_ms"], 1e-9)
    return result, series


def run_latency(width, height):
    """Waits on the main thread, as a behaviour tree's tick thread would. The latency
    includes the copy of the frame, whose pixels were just written by the decoder on
    another core."""
    path = clipgen.clip("h264", width, height, 50.0, 500)
    cap = ParallVideoCapture(path)
    assert cap.start()
    time.sleep(0.3)
    returns = []
    deadline = time.monotonic() + SECONDS
    while time.monotonic() < deadline:
        if cap.get_frame(wait_for_frame=True, timeout=1.0) is not None:
            returns.append(time.monotonic())
    published = [p[2] for p in cap._publication_timings()]
    cap.stop()
    latencies = []
    j = 0
    for r in returns[2:]:  # the first waits may return for an event set earlier
        while j + 1 < len(published) and published[j + 1] <= r:
            j += 1
        if published[j] <= r:
            latencies.append(r - published[j])
    return {
        "clip": f"H.264 {width}x{height} 50 fps, waiting on the main thread",
        "samples": len(latencies),
        "p50_us": percentile(latencies, 50) * 1e6,
        "p99_us": percentile(latencies, 99) * 1e6,
    }


def _pacing_errors(path, interval, busy):
    """How late each pacing wait ended after the rule's instant (the previous publication
    plus the frame interval): the next read's start minus that instant."""
    cap = ParallVideoCapture(path)
    assert cap.start()
    time.sleep(0.3)
    if busy:
        with BusyGil():
            time.sleep(SECONDS)
            timings = cap._publication_timings()
    else:
        time.sleep(SECONDS)
        timings = cap._publication_timings()
    cap.stop()
    window = [t for t in timings if t[2] >= timings[-1][2] - SECONDS + 0.2]
    return [cur[0] - (prev[2] + interval) for prev, cur in zip(window, window[1:])]


def run_pacing_error():
    """Pacing error at 25 fps, main thread idle and with another thread keeping the GIL
    busy: p50 and p99 of how late the wait ended, medians over RUNS runs."""
    path = clipgen.clip("h264", 640, 480, 25.0, 250)
    result = {"clip": "H.264 640x480 25 fps, looping", "runs": RUNS, "seconds": SECONDS}
    for mode in ("idle", "busy"):
        p50s, p99s, earliest = [], [], []
        for _ in range(RUNS):
            errors = _pacing_errors(path, 1.0 / 25.0, mode == "busy")
            p50s.append(percentile(errors, 50) * 1e6)
            p99s.append(percentile(errors, 99) * 1e6)
            earliest.append(min(errors) * 1e6)
        result[mode] = {"p50_us": sorted(p50s)[len(p50s) // 2], "p99_us": sorted(p99s)[len(p99s) // 2],
                        "min_us": min(earliest)}
    return result
