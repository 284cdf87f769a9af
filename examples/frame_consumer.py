"""A node that consumes the frames of the video nodes: brightness and motion of each frame.

`FrameStatistics` is an ordinary action node of the framework. Each tick it takes the frame on
its "frame" input (what ReadThreadedFrame or ReadFrame wrote) and writes:

- "brightness": mean grey level of the frame, 0 to 255;
- "motion": mean absolute grey-level difference to the previous distinct frame, 0 to 255
  (0.0 on the first frame). When the tree ticks faster than the source delivers, a tick sees
  the same picture as the tick before; it keeps the figure measured when that picture came;
- "measured_frame": the grey image of the last distinct frame, which comes back on its
  "previous_frame" input on the next tick.

Like the plug-in's own nodes it keeps nothing between ticks itself: the previous frame goes
round through the blackboard, so wire "previous_frame" to the entry of "measured_frame"
(`add_frame_statistics` does that). Frames are never modified: ReadThreadedFrame hands out a
copy that belongs to the tree, but ReadFrame hands out the very image it decoded.

Run it:  PYTHONPATH=build/python python3 examples/frame_consumer.py [--video PATH] [--seconds 3]
"""
import argparse
import os
import sys
import tempfile

import cv2
import numpy as np

from corvane.nodes import Entry, NodeStatus, SimpleActionNode, Tree


def _port(name, direction):
    return {"name": name, "type": "object", "direction": direction, "description": ""}


def grey(frame):
    """The frame as one 8-bit channel: BGR converted, grey kept as it is."""
    image = np.asarray(frame)
    return cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image


def brightness(grey_image):
    return float(grey_image.mean())


def motion(grey_image, previous):
    if previous is None or previous.shape != grey_image.shape:
        return 0.0
    return float(cv2.absdiff(grey_image, previous).mean())


class FrameStatistics(SimpleActionNode):
    ports = [_port("frame", "input"), _port("previous_frame", "input"),
             _port("brightness", "output"), _port("motion", "output"),
             _port("measured_frame", "output")]

    @staticmethod
    def tick(node):
        frame = node.getInputObject("frame")
        if frame is None:  # no frame yet: the reading node has logged why
            return NodeStatus.SUCCESS
        image = grey(frame)
        node.setOutput("brightness", brightness(image))
        previous = node.getInputObject("previous_frame")
        if previous is not None and np.array_equal(image, previous):
            return NodeStatus.SUCCESS  # the same frame again: its motion stands
        node.setOutput("motion", motion(image, previous))
        node.setOutput("measured_frame", image)
        return NodeStatus.SUCCESS


def add_frame_statistics(tree, frame="frame", prefix="stats", **wiring):
    """Add a FrameStatistics reading the entry `frame`; its outputs go to "<prefix>.brightness",
    "<prefix>.motion" and "<prefix>.measured_frame"."""
    return tree.add(FrameStatistics, frame=Entry(frame),
                    previous_frame=Entry(prefix + ".measured_frame"),
                    measured_frame=Entry(prefix + ".measured_frame"),
                    brightness=Entry(prefix + ".brightness"),
                    motion=Entry(prefix + ".motion"), **wiring)


class Report(SimpleActionNode):
    """Appends (brightness, motion) to the list on its "rows" input, once per tick."""

    ports = [_port("brightness", "input"), _port("motion", "input"), _port("rows", "input")]

    @staticmethod
    def tick(node):
        value = node.getInputObject("brightness")
        if value is not None:
            node.getInputObject("rows").append((value, node.getInputObject("motion")))
        return NodeStatus.SUCCESS


def main(argv=None):
    from corvane.plugins.video import nodes

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--video", help="video file or source string (default: a generated "
                                        "test pattern)")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the tree runs")
    parser.add_argument("--rate", type=float, default=25.0, help="ticks per second")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="corvane-consumer-") as tmp:
        source = args.video
        if source is None:
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            from pattern_clip import write_pattern_clip
            source = write_pattern_clip(os.path.join(tmp, "pattern.mkv"),
                                        int((args.seconds + 1) * 25), 25.0)
        tree = Tree()
        tree.add(nodes.CreateThreadedVideoCapture, once=True,
                 config={"video_source": source, "auto_reload": True})
        tree.add(nodes.ReadThreadedFrame)
        add_frame_statistics(tree)
        rows = []
        tree.add(Report, brightness=Entry("stats.brightness"), motion=Entry("stats.motion"),
                 rows=rows)
        try:
            tree.run(args.rate, duration=args.seconds)
        finally:
            video = tree.blackboard.get("video_capture")
            if video is not None:
                video.stop()
    if not rows:
        print("no frame was measured", file=sys.stderr)
        return 1
    values = np.array(rows, dtype=float)
    print("frames measured: %d" % len(values))
    print("brightness: mean %.1f, min %.1f, max %.1f" % (
        values[:, 0].mean(), values[:, 0].min(), values[:, 0].max()))
    print("motion: mean %.2f, max %.2f, ticks with motion %d" % (
        values[:, 1].mean(), values[:, 1].max(), int((values[:, 1] > 0).sum())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
