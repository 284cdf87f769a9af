"""ReadThreadedFrame against ReadFrame per tick on the same clip."""
import time

import cv2

import clipgen
from measure import NodeHandle, percentile, time_calls
from corvane.plugins.video.capture import ParallVideoCapture
from corvane.plugins.video.nodes import ReadFrame, ReadThreadedFrame

TICKS = 200


def run():
    path = clipgen.clip("h264", 1280, 720, 25.0, 250)
    cap = ParallVideoCapture(path)
    assert cap.start()
    while cap.get_frame() is None:
        time.sleep(0.01)
    threaded = []
    handle = NodeHandle(cap)
    for _ in range(TICKS):
        threaded.extend(time_calls(lambda: ReadThreadedFrame.tick(handle), 1))
        time.sleep(0.004)
    cap.stop()
    direct_cap = cv2.VideoCapture(path)
    direct_handle = NodeHandle(direct_cap)
    direct = time_calls(lambda: ReadFrame.tick(direct_handle), TICKS)
    direct_cap.release()
    return {
        "clip": "H.264 1280x720 25 fps",
        "ticks": TICKS,
        "threaded_p50_ms": percentile(threaded, 50) * 1e3,
        "threaded_p99_ms": percentile(threaded, 99) * 1e3,
        "direct_p50_ms": percentile(direct, 50) * 1e3,
        "direct_p99_ms": percentile(direct, 99) * 1e3,
    }
