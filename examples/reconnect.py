"""Keep a camera or stream running: restart the capture when it stops, waiting longer after
each failed start.

    PYTHONPATH=build/python python3 examples/reconnect.py rtsp://host/stream --seconds 60
    PYTHONPATH=build/python python3 examples/reconnect.py udp://127.0.0.1:5000 --tree

With auto_reload the capture re-opens its source once when a read fails (a read gives up after
CORVANE_VIDEO_READ_TIMEOUT_MSEC). If the source is still gone, that re-open fails too, the
worker ends and is_running() turns False. The recipe watches for that and calls start() again
after a delay that doubles with every failed start (0.5 s, 1 s, 2 s, ... up to 30 s) and starts
over from the shortest delay once a start succeeds.

Two ways to run it, sharing `Reconnect`:
- a plain loop (`keep_running`) on a thread of its own, beside whatever reads the frames;
- a tree node (`KeepCaptureRunning`) ticked before ReadThreadedFrame. Its tick returns at once
  while waiting; the start itself blocks the tick for as long as opening takes (up to
  CORVANE_VIDEO_OPEN_TIMEOUT_MSEC when the source is still gone). While the capture is down,
  ReadThreadedFrame logs a warning on each tick and leaves "frame" as it was.
"""
import argparse
import sys
import threading
import time

from corvane.nodes import Entry, NodeStatus, SimpleActionNode, Tree


class Reconnect:
    """When to try the next start of a capture that stopped running."""

    def __init__(self, first_delay=0.5, longest_delay=30.0, clock=time.monotonic, report=print):
        self.first_delay = first_delay
        self.longest_delay = longest_delay
        self.clock = clock
        self.report = report
        self.delay = first_delay
        self.next_try = None  # set while a stopped capture waits for its next start
        self.restarts = 0

    def poll(self, capture):
        """Look at `capture` once; start it again when it has stopped and its delay is over.
        True while it runs."""
        if capture.is_running():
            self.next_try = None
            return True
        now = self.clock()
        if self.next_try is None:
            self.next_try = now + self.delay
            self.report("capture stopped; next start in %.1f s" % self.delay)
            return False
        if now < self.next_try:
            return False
        if capture.start():
            self.restarts += 1
            self.delay = self.first_delay
            self.next_try = None
            self.report("capture running again")
            return True
        self.delay = min(self.delay * 2, self.longest_delay)
        self.next_try = self.clock() + self.delay
        self.report("start failed; next start in %.1f s" % self.delay)
        return False


def keep_running(capture, stop, reconnect=None, interval=0.1):
    """The plain loop: until the threading.Event `stop` is set, look at `capture` every
    `interval` seconds and restart it when it has stopped."""
    reconnect = reconnect or Reconnect()
    while not stop.wait(interval):
        reconnect.poll(capture)


class KeepCaptureRunning(SimpleActionNode):
    """The tree node: restarts the capture on "video_capture" through the Reconnect on
    "reconnect" (the state lives on the blackboard, not in the node)."""

    ports = [{"name": name, "type": "object", "direction": "input", "description": ""}
             for name in ("video_capture", "reconnect")]

    @staticmethod
    def tick(node):
        node.getInputObject("reconnect").poll(node.getInputObject("video_capture"))
        return NodeStatus.SUCCESS


def build_tree(board, reconnect):
    """KeepCaptureRunning, then ReadThreadedFrame, reading board["video_capture"]."""
    from corvane.plugins.video import nodes
    tree = Tree(board)
    tree.add(KeepCaptureRunning, video_capture=Entry("video_capture"), reconnect=reconnect)
    tree.add(nodes.ReadThreadedFrame)
    return tree


def main(argv=None):
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("source", help="URL, device path or file")
    parser.add_argument("--seconds", type=float, help="stop after this long (default: Ctrl-C)")
    parser.add_argument("--tree", action="store_true", help="run the recipe as a tree node")
    args = parser.parse_args(argv)

    from corvane.plugins.video.capture import ParallVideoCapture
    capture = ParallVideoCapture(args.source, auto_reload=True)
    capture.start()  # if the source is not there yet, the recipe keeps trying
    reconnect = Reconnect()
    stop = threading.Event()
    board = {"video_capture": capture}
    if args.tree:
        worker = threading.Thread(target=lambda: build_tree(board, reconnect).run(
            30, until=lambda: stop.is_set()), daemon=True)
    else:
        worker = threading.Thread(target=keep_running, args=(capture, stop, reconnect),
                                  daemon=True)
    worker.start()
    deadline = None if args.seconds is None else time.monotonic() + args.seconds
    try:
        while deadline is None or time.monotonic() < deadline:
            time.sleep(1.0)
            print("frame %s running %s restarts %d" % (
                capture.current_frame_number, capture.is_running(), reconnect.restarts),
                flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        stop.set()
        worker.join()
        capture.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
