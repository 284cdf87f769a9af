"""Publication rate on clips that report a very high rate, against a bare C++
cv::VideoCapture read loop on the same clip, in the same run.

The pacing rule spaces publications by the frame interval plus the read's own time (the
wait is measured from the previous publication, the read is not counted). A clip that
reports 1000 fps therefore still waits 1 ms per frame, which caps the rate at
1 / (1 ms + read time); the table gives that ceiling too. A clip that reports 100000 fps
(an MP4 can say so) makes the wait negligible and shows the capture's own overhead.
"""
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
    for codec, w, h, fps, frames in (("h264", 1280, 720, 1000.0, 300), ("h264", 640, 480, 100000.0, 1000),
                                     ("h264", 1280, 720, 100000.0, 300),
                                     ("h264", 1920, 1080, 100000.0, 200)):
        path = clipgen.clip(codec, w, h, fps, frames)
        bare, ours = [], []
        for _ in range(RUNS):
            bare.append(_bare(path))
            ours.append(_capture(path))
        bare_fps = median(bare)
        results.append({
            "clip": f"{codec.upper()} {w}x{h}, {frames} frames, reports {fps:g} fps",
            "runs": RUNS,
            "bare_fps": bare_fps,
            "capture_fps": median(ours),
            "ratio": median([o / b for o, b in zip(ours, bare)]),
            "ceiling_fps": 1.0 / (1.0 / fps + 1.0 / bare_fps),
        })
    return results
