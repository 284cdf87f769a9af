"""Where the wake-up latency of get_frame(wait_for_frame=True) goes, at 640x480.

Splits the path from a publication to a waiting caller having its copy into: the wake-up
itself (publication until frame_ready.wait returns on the main thread), the first copy of
the new frame (its pixels were just written by the decoder on another core), and a second
copy of the same frame (warm in this core's cache). Usage, after `make build`:
    PYTHONPATH=build/python /usr/bin/python3 bench/profile_wakeup.py
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clipgen  # noqa: E402
from corvane.plugins.video.capture import ParallVideoCapture  # noqa: E402

SAMPLES = 150


def main():
    cap = ParallVideoCapture(clipgen.clip("h264", 640, 480, 50.0, 500))
    assert cap.start()
    time.sleep(0.3)
    wake, cold, warm = [], [], []
    for _ in range(SAMPLES):
        cap.frame_ready.wait(1.0)
        woke = time.monotonic()
        cap.frame_ready.clear()
        wake.append(woke - cap._publication_timings()[-1][2])
        t = time.perf_counter()
        cap.get_frame()
        cold.append(time.perf_counter() - t)
        t = time.perf_counter()
        cap.get_frame()
        warm.append(time.perf_counter() - t)
    cap.stop()
    for name, values in (("wake-up", wake), ("first copy (cold)", cold), ("second copy (warm)", warm)):
        p50, p99 = np.percentile(np.array(values) * 1e6, [50, 99])
        print(f"{name:20s} p50 {p50:6.0f} us   p99 {p99:6.0f} us")


if __name__ == "__main__":
    main()
