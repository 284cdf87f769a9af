"""Where the wake-up latency of get_frame(wait_for_frame=True) goes.

Splits the path from a publication to a waiting caller having its copy into parts, each a
p50 over its own samples (so the parts add up only roughly):
- the machine's futex wake-up: one native thread wakes another (corvane_wakeup_floor);
- the capture's Event on top of it, and the lock a woken reader takes while the worker
  may still hold it after setting the event (same program, native threads);
- the interpreter: publication until frame_ready.wait() has returned on the main thread
  (the GIL taken back, the call returned to Python), less the native Event's wake-up;
- the copy: get_frame() right after, the new frame's pixels just written on another core;
- the whole: publication until a waiting get_frame(wait_for_frame=True) has returned
  (bench_pacing.run_latency, row 4 of the table).
Usage, after `make build`:
    PYTHONPATH=build/python /usr/bin/python3 bench/profile_wakeup.py [WIDTHxHEIGHT]
"""
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_pacing  # noqa: E402
import clipgen  # noqa: E402
from corvane.plugins.video.capture import ParallVideoCapture  # noqa: E402

SAMPLES = 200
FLOOR = os.path.join(HERE, "..", "build", "bench", "corvane_wakeup_floor")


def _p50(values):
    return float(np.percentile(np.array(values) * 1e6, 50))


def run(width=320, height=240):
    native = json.loads(subprocess.run([FLOOR], capture_output=True, text=True, check=True).stdout)
    cap = ParallVideoCapture(clipgen.clip("h264", width, height, 50.0, 500))
    assert cap.start()
    time.sleep(0.3)

    def published():
        return cap._publication_timings()[-1][2]

    woke, copied = [], []
    for _ in range(SAMPLES):
        cap.frame_ready.wait(1.0)
        woke.append(time.monotonic() - published())
        cap.frame_ready.clear()
        t = time.perf_counter()
        cap.get_frame()
        copied.append(time.perf_counter() - t)
    cap.stop()
    python_wait = _p50(woke)
    # The whole path in a loop that does nothing else between its waits (reading the
    # publication timings between waits slows the next wake-up).
    whole = bench_pacing.run_latency(width, height)
    parts = {
        "futex_us": native["futex_p50_us"],
        "event_us": native["event_p50_us"] - native["futex_p50_us"],
        "lock_us": native["publication_p50_us"] - native["event_p50_us"],
        "interpreter_us": python_wait - native["event_p50_us"],
        "copy_us": _p50(copied),
        "whole_us": whole["p50_us"],
    }
    # Ours: everything but the machine's wake-up and the interpreter's share.
    parts["ours_us"] = parts["whole_us"] - parts["futex_us"] - max(parts["interpreter_us"], 0.0)
    parts["clip"] = f"H.264 {width}x{height} 50 fps, waiting on the main thread"
    parts["samples"] = SAMPLES
    return parts


def main():
    width, height = (int(v) for v in (sys.argv[1:] or ["320x240"])[0].split("x"))
    for name, value in run(width, height).items():
        print(f"{name:16s} {value:8.1f}" if isinstance(value, float) else f"{name:16s} {value}")


if __name__ == "__main__":
    main()
