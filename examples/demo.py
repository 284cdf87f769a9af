"""Plays a video through behaviour trees built from the video nodes.

Two trees run one after the other on the stand-in host (corvane.nodes), each ticking at the
source's frame rate for a few seconds:

  threaded: CreateThreadedVideoCapture -> FirstFrameWait -> ReadThreadedFrame -> FrameSink
  direct:   CreateVideoCapture -> ReadFrame -> FrameSink

The sink counts the frames it is handed and keeps thumbnails of the distinct ones. At the end
the demo prints a summary per tree (frames seen, distinct frames, rates, tick times of the
frame-reading node) and writes a contact sheet of received frames.

Without --video it writes its own test-pattern clip into a temporary directory.
"""
import argparse
import hashlib
import math
import os
import sys
import tempfile
import time

import cv2
import numpy as np
from loguru import logger

from corvane.nodes import Entry, NodeStatus, SimpleActionNode, Tree
from corvane.plugins.video import nodes

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pattern_clip import write_pattern_clip  # noqa: E402

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SHEET = os.path.join(REPO_DIR, "build", "demo_contact_sheet.png")
THUMB_WIDTH = 192
SHEET_COLUMNS = 8
# How long the threaded tree waits for the capture's first frame before its first read; a
# stream may take seconds to open.
FIRST_FRAME_TIMEOUT = 10.0


class FrameStats:
    """What a sink saw: frames, distinct frames (by content digest) and their thumbnails."""

    def __init__(self, label, show_progress):
        self.label = label
        self.ticks = 0
        self.frames = 0
        self.digests = set()
        self.thumbnails = []
        self.last_frame = None
        self.repeats = 0  # consecutive ticks on which the very same frame object was input
        self._show_progress = show_progress
        self._started = time.perf_counter()
        self._next_report = self._started

    def add(self, frame):
        self.ticks += 1
        if frame is not None:
            self.frames += 1
            self.repeats = self.repeats + 1 if frame is self.last_frame else 0
            self.last_frame = frame
            digest = hashlib.blake2b(np.ascontiguousarray(frame[::4, ::4]).tobytes(),
                                     digest_size=16).digest()
            if digest not in self.digests:
                self.digests.add(digest)
                height, width = frame.shape[:2]
                thumb_height = max(1, round(height * THUMB_WIDTH / width))
                self.thumbnails.append(cv2.resize(frame, (THUMB_WIDTH, thumb_height),
                                                  interpolation=cv2.INTER_AREA))
        self._progress()

    def _progress(self):
        now = time.perf_counter()
        if now < self._next_report:
            return
        self._next_report = now + 0.5
        text = "  %-8s %5.1f s  ticks %5d  frames %5d  distinct %5d" % (
            self.label, now - self._started, self.ticks, self.frames, len(self.digests))
        if self._show_progress:
            sys.stdout.write("\r" + text)
            sys.stdout.flush()
        else:
            print(text, flush=True)


def frame_sink(stats):
    """A consumer node class that hands the frame on its "frame" input to `stats`."""

    def tick(node):
        stats.add(node.getInputObject("frame"))
        return NodeStatus.SUCCESS

    return type("FrameSink", (SimpleActionNode,), {
        "ports": [{"name": "frame", "type": "object", "direction": "input", "description": ""}],
        "tick": staticmethod(tick)})


def first_frame_wait(timeout):
    """A node class, ticked once after the capture is created, that waits until the capture has
    published its first frame (its `frame_ready` event), so the reader's first tick finds one."""

    def tick(node):
        capture = node.getInputObject("video_capture")
        return NodeStatus.SUCCESS if capture.frame_ready.wait(timeout) else NodeStatus.FAILURE

    return type("FirstFrameWait", (SimpleActionNode,), {
        "ports": [{"name": "video_capture", "type": "object", "direction": "input",
                   "description": ""}],
        "tick": staticmethod(tick)})


def percentile_ms(samples, q):
    return float(np.percentile(samples, q)) * 1000.0 if samples else float("nan")


def run_threaded(source, rate, seconds, show_progress):
    stats = FrameStats("threaded", show_progress)
    tree = Tree()
    tree.add(nodes.CreateThreadedVideoCapture, once=True,
             config={"video_source": source, "auto_reload": True})
    tree.add(first_frame_wait(FIRST_FRAME_TIMEOUT), once=True)
    reader = tree.add(nodes.ReadThreadedFrame)
    tree.add(frame_sink(stats))
    try:
        result = tree.run(rate, duration=seconds)
    finally:
        capture = tree.blackboard.get("video_capture")
        if capture is not None:
            capture.stop()  # the tree's owner stops the capture; the nodes never do
    if "video_capture" not in tree.blackboard:
        raise SystemExit("the threaded capture could not be started on " + source)
    return stats, reader, result


def run_direct(source, rate, seconds, show_progress):
    stats = FrameStats("direct", show_progress)
    tree = Tree()
    tree.add(nodes.CreateVideoCapture, once=True, video_source=source,
             video_capture=Entry("direct_capture"))
    reader = tree.add(nodes.ReadFrame, video_capture=Entry("direct_capture"),
                      frame=Entry("direct_frame"))
    tree.add(frame_sink(stats), frame=Entry("direct_frame"))
    # ReadFrame stops writing at the end of the stream; stop once the sink keeps getting
    # the same frame.
    try:
        result = tree.run(rate, duration=seconds, until=lambda: stats.repeats >= 3)
    finally:
        capture = tree.blackboard.get("direct_capture")
        if capture is not None:
            capture.release()
    if "direct_capture" not in tree.blackboard:
        raise SystemExit("the direct capture could not be opened on " + source)
    return stats, reader, result


def summary_lines(stats, reader, result):
    times = reader.tick_times
    return [
        "%s pair (%s):" % (stats.label, reader.node_class.__name__),
        "  ticks %d in %.2f s -> %.1f ticks/s" % (result.ticks, result.elapsed, result.rate),
        "  frames seen %d, distinct frames %d -> %.1f distinct frames/s"
        % (stats.frames, len(stats.digests), len(stats.digests) / result.elapsed),
        "  %s tick time p50 %.3f ms, p99 %.3f ms"
        % (reader.node_class.__name__, percentile_ms(times, 50), percentile_ms(times, 99)),
    ]


def contact_sheet(rows):
    """One labelled row of evenly spaced thumbnails per (label, thumbnails) pair."""
    strips = []
    for label, thumbs in rows:
        if not thumbs:
            continue
        count = min(SHEET_COLUMNS, len(thumbs))
        picks = [thumbs[round(i * (len(thumbs) - 1) / max(1, count - 1))] for i in range(count)]
        height = picks[0].shape[0]
        cells = [cv2.resize(t, (THUMB_WIDTH, height)) if t.shape[0] != height else t
                 for t in picks]
        cells += [np.zeros_like(cells[0])] * (SHEET_COLUMNS - count)
        caption = np.full((28, THUMB_WIDTH * SHEET_COLUMNS, 3), 32, np.uint8)
        cv2.putText(caption, "%s pair: %d of %d distinct frames" % (label, count, len(thumbs)),
                    (8, 20), cv2.FONT_HERSHEY_SIMPLEX, 0.6, (255, 255, 255), 1, cv2.LINE_AA)
        strips += [caption, np.hstack([c if c.ndim == 3 else cv2.cvtColor(c, cv2.COLOR_GRAY2BGR)
                                       for c in cells])]
    return np.vstack(strips) if strips else None


def source_rate(source):
    probe = cv2.VideoCapture(source)
    try:
        if not probe.isOpened():
            raise SystemExit("cannot open video " + source)
        fps = probe.get(cv2.CAP_PROP_FPS)
    finally:
        probe.release()
    return fps if fps > 0 and math.isfinite(fps) else None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--video", help="video file or source string (default: a generated "
                                        "test pattern)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="how long each tree runs (default 3)")
    parser.add_argument("--rate", type=float, help="tick rate (default: the source's rate)")
    parser.add_argument("--sheet", default=DEFAULT_SHEET,
                        help="where to write the contact sheet PNG (default %(default)s)")
    args = parser.parse_args(argv)
    if not args.seconds > 0:
        parser.error("--seconds must be positive")

    sys.stdout.reconfigure(line_buffering=True)  # keep stdout in step with the log on stderr
    logger.remove()
    logger.add(sys.stderr, format="<level>{level: <7}</level> {message}")
    show_progress = sys.stdout.isatty()

    with tempfile.TemporaryDirectory(prefix="corvane-demo-") as tmp:
        source = args.video
        if source is None:
            fps = 25.0
            frames = int(math.ceil((args.seconds + 1.0) * fps))
            source = write_pattern_clip(os.path.join(tmp, "pattern.mkv"), frames, fps)
            print("Generated test pattern %s (%d frames, 640x360, %.0f fps)"
                  % (source, frames, fps))
        rate = args.rate or source_rate(source)
        if rate is None:
            rate = 25.0
            print("The source reports no frame rate; ticking at %.0f per second" % rate)
        print("Ticking each tree at %.2f per second for %.1f s" % (rate, args.seconds))

        runs = []
        for run in (run_threaded, run_direct):
            runs.append(run(source, rate, args.seconds, show_progress))
            if show_progress:
                print()

    print("\nSummary")
    for stats, reader, result in runs:
        print("\n".join(summary_lines(stats, reader, result)))

    sheet = contact_sheet([(stats.label, stats.thumbnails) for stats, _, _ in runs])
    if sheet is None:
        print("No frames arrived; no contact sheet written")
        return 1
    os.makedirs(os.path.dirname(os.path.abspath(args.sheet)), exist_ok=True)
    if not cv2.imwrite(args.sheet, sheet):
        raise SystemExit("cannot write " + args.sheet)
    print("Contact sheet: %s" % args.sheet)
    return 0


if __name__ == "__main__":
    sys.exit(main())
