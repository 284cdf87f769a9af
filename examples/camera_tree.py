"""A behaviour tree reading a webcam or a network stream named on the command line.

    PYTHONPATH=build/python python3 examples/camera_tree.py 0                 # /dev/video0
    PYTHONPATH=build/python python3 examples/camera_tree.py rtsp://host/stream --show
    PYTHONPATH=build/python python3 examples/camera_tree.py clip.mkv --seconds 5

A tree with CreateThreadedVideoCapture, ticked once, opens the source; then a tree of
ReadThreadedFrame -> FrameStatistics (examples/frame_consumer.py) [-> Preview with --show]
ticks until the time is up. The capture decodes on its own thread
and re-opens the source once when it ends or fails (auto_reload), which for a live source
means reconnecting; the script stops when that fails too (examples/reconnect.py keeps
trying). A camera or stream is read as fast as it delivers, so the frame stays current. Once
a second the script prints the frame number the capture has reached, how long ago the
current frame was published and where it lies in the stream (its FrameInfo), and the
brightness and motion of the latest frame; Ctrl-C stops it.

RTSP goes over TCP: unless OPENCV_FFMPEG_CAPTURE_OPTIONS is already set, the script sets it to
"rtsp_transport;tcp" before anything is opened. --udp asks for UDP instead, for cameras that
speak RTSP only over UDP: it puts "rtsp_transport;udp" into those options, keeping any others.
When a source does not open, the script says what to try.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def source_string(argument):
    """A camera number becomes its device path; anything else is passed on unchanged."""
    if argument.isdigit() and sys.platform.startswith("linux"):
        return "/dev/video" + argument
    return argument


def with_rtsp_transport(options, transport):
    """FFmpeg capture options (key;value pairs joined by |) with rtsp_transport set."""
    pairs = [p for p in (options or "").split("|") if p and p.split(";")[0] != "rtsp_transport"]
    return "|".join(pairs + ["rtsp_transport;" + transport])


def hints(source, udp):
    """What to try when `source` did not open."""
    tips = []
    if source.startswith("rtsp://"):
        tips.append("without --udp (RTSP over TCP)" if udp else
                    "--udp, for a camera that speaks RTSP only over UDP")
    if "://" in source:
        tips.append("a longer CORVANE_VIDEO_OPEN_TIMEOUT_MSEC (milliseconds) for a slow stream")
        tips.append("ffprobe " + source + " to see whether FFmpeg can read it at all")
    tips.append("OPENCV_VIDEOIO_DEBUG=1 to see which backends tried to open it")
    return ["  try: " + tip for tip in tips]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("source", help="camera number, device path, URL or file")
    parser.add_argument("--seconds", type=float, help="stop after this long (default: Ctrl-C)")
    parser.add_argument("--rate", type=float, default=30.0, help="ticks per second")
    parser.add_argument("--show", action="store_true", help="show the frames in a window")
    parser.add_argument("--udp", action="store_true", help="RTSP over UDP instead of TCP")
    args = parser.parse_args(argv)

    # FFmpeg reads its capture options when a source is opened, so set them before that.
    if args.udp:
        os.environ["OPENCV_FFMPEG_CAPTURE_OPTIONS"] = with_rtsp_transport(
            os.environ.get("OPENCV_FFMPEG_CAPTURE_OPTIONS"), "udp")
    else:
        os.environ.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;tcp")

    import cv2
    from corvane.nodes import Entry, NodeStatus, SimpleActionNode, Tree
    from corvane.plugins.video import nodes
    from frame_consumer import add_frame_statistics

    class Preview(SimpleActionNode):
        ports = [{"name": "frame", "type": "object", "direction": "input", "description": ""}]

        @staticmethod
        def tick(node):
            frame = node.getInputObject("frame")
            if frame is not None:
                cv2.imshow("corvane-video", frame)
                cv2.waitKey(1)
            return NodeStatus.SUCCESS

    source = source_string(args.source)
    # Opening is a tree of its own, ticked once: ReadThreadedFrame needs a capture to read
    # (given nothing, its tick fails), so the reading tree runs only once one is open.
    board = {}
    opener = Tree(board)
    opener.add(nodes.CreateThreadedVideoCapture,
               config={"video_source": source, "auto_reload": True})
    opener.tick()
    video = board.get("video_capture")
    if video is None:  # the nodes have logged why
        print("\n".join(["could not open " + source] + hints(source, args.udp)), file=sys.stderr)
        return 1

    tree = Tree(board)
    tree.add(nodes.ReadThreadedFrame)
    add_frame_statistics(tree, frame="frame", prefix="stats")
    if args.show:
        tree.add(Preview, frame=Entry("frame"))

    next_report = [time.monotonic()]

    def report():
        now = time.monotonic()
        if now < next_report[0]:
            return False
        next_report[0] = now + 1.0
        info = video.get_video_info()
        frame_info, _ = video.get_frame_with_info()
        if "stats.brightness" in board and frame_info is not None:
            age_ms = (time.monotonic() - frame_info.monotonic) * 1000.0
            position = "-" if frame_info.pos_msec is None else "%.0f ms" % frame_info.pos_msec
            print("frame %-6s age %5.0f ms  position %-10s brightness %6.1f  motion %5.2f" % (
                info["current_frame"], age_ms, position, board["stats.brightness"],
                board["stats.motion"]), flush=True)
        return not info["is_running"]

    try:
        tree.run(args.rate, duration=args.seconds, until=report)
    except KeyboardInterrupt:
        pass
    finally:
        video.stop()  # the tree's owner stops the capture; the nodes never do
        if args.show:
            cv2.destroyAllWindows()
    info = video.get_video_info()
    print("%s: %dx%d, %.2f fps reported, reached frame %s" % (
        source, info["width"], info["height"], info["fps"], info["current_frame"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
