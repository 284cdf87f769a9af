"""Writes a short test-pattern clip for the demo: colour bars, a sweeping bar and the frame
number in large digits, encoded losslessly (FFV1 in Matroska) so every frame stays distinct."""
import cv2
import numpy as np

BAR_COLOURS = [(192, 192, 192), (0, 192, 192), (192, 192, 0), (0, 192, 0),
               (192, 0, 192), (0, 0, 192), (192, 0, 0)]  # BGR


def pattern_frame(index, fps, width, height):
    """The BGR image of frame `index`."""
    frame = np.zeros((height, width, 3), np.uint8)
    bar_width = width / len(BAR_COLOURS)
    for i, colour in enumerate(BAR_COLOURS):
        frame[:, int(i * bar_width):int((i + 1) * bar_width)] = colour
    sweep = int(index * width / (2 * fps)) % width  # crosses the picture every two seconds
    frame[:, max(0, sweep - 6):sweep + 6] = 255
    cv2.rectangle(frame, (width // 2 - 150, height // 2 - 55), (width // 2 + 150, height // 2 + 45),
                  (0, 0, 0), cv2.FILLED)
    cv2.putText(frame, "#%04d" % index, (width // 2 - 135, height // 2 + 25),
                cv2.FONT_HERSHEY_SIMPLEX, 2.2, (255, 255, 255), 4, cv2.LINE_AA)
    cv2.putText(frame, "%.2f s" % (index / fps), (12, height - 14), cv2.FONT_HERSHEY_SIMPLEX,
                0.8, (255, 255, 255), 2, cv2.LINE_AA)
    return frame


def write_pattern_clip(path, frames, fps=25.0, width=640, height=360):
    """Write `frames` pattern frames to `path` (an .mkv) and return the path as a string."""
    path = str(path)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"FFV1"), fps, (width, height))
    if not writer.isOpened():
        raise RuntimeError("cannot write the test-pattern clip " + path)
    try:
        for index in range(frames):
            writer.write(pattern_frame(index, fps, width, height))
    finally:
        writer.release()
    return path
