"""Tick-thread cost of get_frame() and of a ReadThreadedFrame tick on a 1920x1080 BGR
frame, against numpy.ndarray.copy() of an array of the same shape, in the same run."""
import time

import clipgen
from measure import NodeHandle, median, time_calls
from corvane.plugins.video.capture import ParallVideoCapture
from corvane.plugins.video.nodes import ReadThreadedFrame

RUNS = 7
CALLS = 60


def run():
    path = clipgen.clip("ffv1", 1920, 1080, 25.0, 50)
    cap = ParallVideoCapture(path)
    assert cap.start()
    while cap.get_frame() is None:
        time.sleep(0.01)
    cap.pause()
    time.sleep(0.1)
    array = cap.get_frame()
    handle = NodeHandle(cap)
    ratios_get, ratios_tick, copy_us, get_us, tick_us = [], [], [], [], []
    for _ in range(RUNS):
        # Interleaved so that drift of the machine hits all three alike.
        c = median(time_calls(array.copy, CALLS))
        g = median(time_calls(cap.get_frame, CALLS))
        t = median(time_calls(lambda: ReadThreadedFrame.tick(handle), CALLS))
        copy_us.append(c * 1e6)
        get_us.append(g * 1e6)
        tick_us.append(t * 1e6)
        ratios_get.append(g / c)
        ratios_tick.append(t / c)
    cap.stop()
    return {
        "clip": "FFV1 1920x1080, capture paused (the frame stays put)",
        "runs": RUNS,
        "calls": CALLS,
        "copy_us": median(copy_us),
        "get_frame_us": median(get_us),
        "tick_us": median(tick_us),
        "get_frame_ratio": median(ratios_get),
        "tick_ratio": median(ratios_tick),
    }
