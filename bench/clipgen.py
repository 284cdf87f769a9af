"""Benchmark clips, generated on first use and cached under build/bench-clips.

Frames are a moving gradient with a drifting grid of blocks, so that an inter-frame codec
has real motion to encode, and each frame carries its index in its top-left corner.
"""
import os

import cv2
import numpy as np

CLIP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-clips")

CODECS = {"ffv1": ("FFV1", "mkv"), "h264": ("avc1", "mp4")}


def _frame(i, width, height):
    x = np.linspace(0, 255, width, dtype=np.float32)
    y = np.linspace(0, 255, height, dtype=np.float32)[:, None]
    base = (x[None, :] * 0.5 + y * 0.5 + i * 3) % 256
    img = np.empty((height, width, 3), np.uint8)
    img[..., 0] = base
    img[..., 1] = (base * 0.7 + 40) % 256
    img[..., 2] = (255 - base)
    step = max(width // 16, 8)
    off = (i * 4) % step
    img[:, off::step] = 255
    img[off::step, :] = 0
    cv2.putText(img, str(i), (10, height // 8), cv2.FONT_HERSHEY_SIMPLEX, height / 300, (0, 0, 255), 2)
    return img


def clip(codec, width, height, fps, frames):
    """Path of a clip with these properties, written if it is not cached yet."""
    fourcc, ext = CODECS[codec]
    os.makedirs(CLIP_DIR, exist_ok=True)
    path = os.path.join(CLIP_DIR, f"{codec}_{width}x{height}_{fps:g}fps_{frames}.{ext}")
    if os.path.exists(path):
        return path
    tmp = path + ".part." + ext
    writer = cv2.VideoWriter(tmp, cv2.VideoWriter_fourcc(*fourcc), fps, (width, height))
    if not writer.isOpened():
        raise RuntimeError("cannot write " + tmp)
    for i in range(frames):
        writer.write(_frame(i, width, height))
    writer.release()
    os.replace(tmp, path)
    return path
