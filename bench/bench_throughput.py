"""Publication rate on clips that report 1000 fps, so pacing never waits, against a bare
C++ cv::VideoCapture read loop on the same clip, in the same run."""
import json
import os
import subprocess
import time

import clipgen
from measure import median
from corvane.plugins.video.capture import ParallVideoCapture

RUNS = 5
BARE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "corvane_bare_read_loop")


def _bare(path):
    out = subprocess.run([BARE, path], capture_output=True, text=True, check=True).stdout
    data = json.loads(out)
    return (data["frames"] - 1) / data["seconds"]


def _capture(path):
    cap = ParallVideoCapture(path, False)
    assert cap.start()
    while cap.is_running():
        time.sleep(0.02)
    timings = cap._publication_timings()
    cap.stop()
    return (len(timings) - 1) / (timings[-1][2] - timings[0][2])


def run():
    results = []
    for codec, w, h, frames in (("ffv1", 640, 480, 600), ("h264", 1280, 720, 300)):
        path = clipgen.clip(codec, w, h, 1000.0, frames)
        bare, ours = [], []
        for _ in range(RUNS):
            bare.append(_bare(path))
            ours.append(_capture(path))
        results.append({
            "clip": f"{codec.upper()} {w}x{h}, {frames} frames, reports 1000 fps",
            "runs": RUNS,
            "bare_fps": median(bare),
            "capture_fps": median(ours),
            "ratio": median([o / b for o, b in zip(ours, bare)]),
        })
    return results
