"""Resident memory per running capture at 1920x1080, against the frame size and the
decoder's own memory (a bare cv2.VideoCapture that has read the same frames)."""
import gc
import time

import cv2

import clipgen
from measure import rss_bytes
from corvane.plugins.video.capture import ParallVideoCapture

COUNT = 4


def run():
    path = clipgen.clip("ffv1", 1920, 1080, 25.0, 50)
    frame_bytes = 1920 * 1080 * 3
    gc.collect()
    base = rss_bytes()
    bare = [cv2.VideoCapture(path) for _ in range(COUNT)]
    for c in bare:
        for _ in range(10):
            c.read()
    decoder = (rss_bytes() - base) / COUNT
    for c in bare:
        c.release()
    del bare
    gc.collect()
    time.sleep(0.2)
    base = rss_bytes()
    caps = [ParallVideoCapture(path) for _ in range(COUNT)]
    for c in caps:
        assert c.start()
    time.sleep(2.0)
    for c in caps:
        c.get_frame()
    per_capture = (rss_bytes() - base) / COUNT
    for c in caps:
        c.stop()
    return {
        "clip": "FFV1 1920x1080 25 fps, looping",
        "captures": COUNT,
        "frame_mb": frame_bytes / 1e6,
        "decoder_mb": decoder / 1e6,
        "per_capture_mb": per_capture / 1e6,
        "frames_beyond_decoder": (per_capture - decoder) / frame_bytes,
    }
