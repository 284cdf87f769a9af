"""Test clips generated at test time whose frames encode their own index.

Each frame is a 4x4 grid of large uniform blocks; block i is white when bit i of the
frame's index is set. The blocks survive lossless (FFV1) and lossy codecs alike, so a
test can tell exactly which frame it received.
"""
import os

import cv2
import numpy as np

GRID = 4
BITS = GRID * GRID


def make_frame(index, width=160, height=120):
    """Return the BGR image that encodes `index`."""
    frame = np.zeros((height, width, 3), dtype=np.uint8)
    bh, bw = height // GRID, width // GRID
    for bit in range(BITS):
        if (index >> bit) & 1:
            r, c = divmod(bit, GRID)
            frame[r * bh:(r + 1) * bh, c * bw:(c + 1) * bw] = 255
    return frame


def frame_index(frame):
    """Decode the index that `make_frame` put into `frame` (BGR or grey)."""
    img = np.asarray(frame)
    if img.ndim == 3:
        img = img.mean(axis=2)
    h, w = img.shape[:2]
    bh, bw = h // GRID, w // GRID
    index = 0
    for bit in range(BITS):
        r, c = divmod(bit, GRID)
        block = img[r * bh + bh // 4:(r + 1) * bh - bh // 4, c * bw + bw // 4:(c + 1) * bw - bw // 4]
        if block.mean() > 127:
            index |= 1 << bit
    return index


def write_clip(path, frames=50, fps=25.0, width=160, height=120, fourcc="FFV1"):
    """Write a clip of `frames` index-encoding frames to `path` and return the path."""
    path = os.fspath(path)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), fps, (width, height))
    if not writer.isOpened():
        raise RuntimeError("cannot write test clip " + path)
    try:
        for i in range(frames):
            writer.write(make_frame(i, width, height))
    finally:
        writer.release()
    return path
