"""A video source written in Python, plugged in as the source of a ParallVideoCapture.

The capture opens its source through its module's `cv2.VideoCapture` at the moment it opens
it (in `start`, and again on each re-open). When that is OpenCV's own class the capture decodes
natively; when it is anything else, the capture calls the object it returns through the five
methods `isOpened`, `read`, `get`, `set` and `release`. So a source of your own is a class with
those methods, installed as `cv2.VideoCapture` of the capture module while captures open.

`SyntheticSource` generates frames instead of decoding them: a square moving over a gradient,
with the frame's number written on it. Its source strings look like

    synthetic:?width=320&height=240&fps=30&frames=300

(every parameter optional). It reports its rate and frame count through `get`, so the capture
paces it like a file, loops it with auto_reload, and can seek in it.

Run it:  PYTHONPATH=build/python python3 examples/synthetic_source.py --seconds 3
"""
import argparse
import contextlib
import sys
import urllib.parse

import cv2
import numpy as np

PREFIX = "synthetic:"

# The OpenCV class at the time this module was loaded: what strings that are not synthetic
# are opened with.
_OPENCV_VIDEO_CAPTURE = cv2.VideoCapture


class SyntheticSource:
    """A generated clip with the methods the capture calls on a source.

    Constructed with a string that does not start with "synthetic:", it hands the string to
    OpenCV's own class instead, so installing it does not take files, cameras and streams away
    from anyone else in the process (those are then read through Python calls, though).
    """

    def __new__(cls, source, *args):
        if not (isinstance(source, str) and source.startswith(PREFIX)):
            return _OPENCV_VIDEO_CAPTURE(source, *args)
        return super().__new__(cls)

    def __init__(self, source):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(source[len(PREFIX):]).query)
        option = lambda name, kind, default: kind(query.get(name, [default])[0])  # noqa: E731
        self.width = option("width", int, 320)
        self.height = option("height", int, 240)
        self.fps = option("fps", float, 30.0)
        self.frames = option("frames", int, 300)
        self.position = 0
        self.opened = self.width > 0 and self.height > 0 and self.frames > 0
        # The background, made once; each frame is a copy with the square and the number on it.
        ramp = np.linspace(40, 200, self.width, dtype=np.uint8)
        self.background = np.dstack([np.tile(ramp, (self.height, 1))] * 3)

    def isOpened(self):
        return self.opened

    def read(self):
        """(True, the next frame) or (False, None) at the end, like cv2.VideoCapture.read."""
        if not self.opened or self.position >= self.frames:
            return False, None
        frame = self.render(self.position)
        self.position += 1
        return True, frame

    def render(self, index):
        frame = self.background.copy()
        side = max(8, min(self.width, self.height) // 4)
        span = max(1, self.width - side)
        x = (index * 4) % (2 * span)
        x = x if x < span else 2 * span - x  # bounce between the edges
        y = (self.height - side) // 2
        frame[y:y + side, x:x + side] = (0, 160, 255)
        cv2.putText(frame, str(index), (4, self.height - 6), cv2.FONT_HERSHEY_SIMPLEX,
                    0.6, (255, 255, 255), 1, cv2.LINE_AA)
        return frame

    def get(self, prop):
        return {cv2.CAP_PROP_FPS: self.fps,
                cv2.CAP_PROP_FRAME_COUNT: float(self.frames),
                cv2.CAP_PROP_FRAME_WIDTH: float(self.width),
                cv2.CAP_PROP_FRAME_HEIGHT: float(self.height),
                cv2.CAP_PROP_POS_FRAMES: float(self.position)}.get(prop, 0.0)

    def set(self, prop, value):
        if prop == cv2.CAP_PROP_POS_FRAMES and 0 <= value < self.frames:
            self.position = int(value)
            return True
        return False

    def release(self):
        self.opened = False


@contextlib.contextmanager
def installed(source_class, capture_module=None):
    """Let captures that open inside the block construct their sources with `source_class`.

    `cv2` of the capture module is the cv2 module itself, so while the block runs every
    `cv2.VideoCapture(...)` in the process constructs `source_class`. A capture keeps the
    source it opened after the block; only a later re-open (auto_reload) would construct a
    source again, with whatever class is installed then.
    """
    if capture_module is None:
        from corvane.plugins.video import capture as capture_module
    previous = capture_module.cv2.VideoCapture
    capture_module.cv2.VideoCapture = source_class
    try:
        yield
    finally:
        capture_module.cv2.VideoCapture = previous


def main(argv=None):
    from corvane.nodes import Tree
    from corvane.plugins.video import capture, nodes

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the tree runs")
    parser.add_argument("--fps", type=float, default=30.0, help="rate of the generated clip")
    parser.add_argument("--frames", type=int, default=60, help="length of the generated clip")
    args = parser.parse_args(argv)
    source = "%s?width=320&height=240&fps=%g&frames=%d" % (PREFIX, args.fps, args.frames)

    # The whole run inside the block: with auto_reload the capture opens the source again each
    # time the clip ends.
    with installed(SyntheticSource):
        tree = Tree()
        tree.add(nodes.CreateThreadedVideoCapture, once=True,
                 config={"video_source": source, "auto_reload": True})
        tree.add(nodes.ReadThreadedFrame)
        try:
            result = tree.run(args.fps, duration=args.seconds)
            video = tree.blackboard.get("video_capture")
            if video is None:
                print("the synthetic source could not be started", file=sys.stderr)
                return 1
            info = video.get_video_info()
            print("source class: %s" % type(video.cap).__name__)
            print("reported: %dx%d at %.2f fps, %d frames" % (
                info["width"], info["height"], info["fps"], info["frame_count"]))
            print("ticks: %d, last frame on the port: %s" % (
                result.ticks, tree.blackboard["frame"].shape))
            # seek() works as well: the source answers set(CAP_PROP_POS_FRAMES, n).
            target = args.frames // 2
            video.pause()
            if video.seek(target):
                number, frame = video.get_frame_with_number()
                print("after seek(%d): frame number %s" % (target, number))
            video.resume()
        finally:
            video = tree.blackboard.get("video_capture")
            if video is not None:
                video.stop()
    print("capture module's cv2.VideoCapture restored: %s"
          % (capture.cv2.VideoCapture is _OPENCV_VIDEO_CAPTURE))
    return 0


if __name__ == "__main__":
    sys.exit(main())
