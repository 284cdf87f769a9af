"""The examples: each runs as a script on a generated clip or the synthetic source, and their
reusable parts (the Python source, the frame-statistics node) compute what they claim."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import clips

REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
EXAMPLES_DIR = os.path.join(REPO_DIR, "examples")
sys.path.insert(0, EXAMPLES_DIR)

import frame_consumer  # noqa: E402
import synthetic_source  # noqa: E402
from corvane.nodes import Tree  # noqa: E402


def run_example(name, *args, timeout=60):
    try:
        return subprocess.run([sys.executable, os.path.join(EXAMPLES_DIR, name), *map(str, args)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        pytest.fail("%s hung:\n%s\n%s" % (name, exc.stdout, exc.stderr))


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """25 fps, 50 frames of 160x120 whose blocks encode the frame's index."""
    return clips.write_clip(tmp_path_factory.mktemp("clips") / "clip.mkv", frames=50, fps=25.0)


def test_camera_tree_plays_a_source_named_on_the_command_line(clip):
    child = run_example("camera_tree.py", clip, "--seconds", "1.5", "--rate", "25")
    assert child.returncode == 0, child.stdout + child.stderr
    assert re.search(r"^frame \d+ +age +\d+ ms +position \d+ ms +brightness +[\d.]+ +motion +[\d.]+$",
                     child.stdout, re.M), child.stdout
    reached = re.search(r"160x120, 25.00 fps reported, reached frame (\d+)", child.stdout)
    assert reached and int(reached.group(1)) >= 20, child.stdout

    missing = run_example("camera_tree.py", "/nonexistent/stream.mkv", "--seconds", "1")
    assert missing.returncode == 1
    assert "could not open /nonexistent/stream.mkv\n  try: OPENCV_VIDEOIO_DEBUG=1" in missing.stderr


@pytest.mark.parametrize("args, hint", [((), "try: --udp"), (("--udp",), "try: without --udp")])
def test_camera_tree_suggests_the_other_rtsp_transport(args, hint):
    # Nothing listens on port 9: the open fails at once.
    child = run_example("camera_tree.py", "rtsp://127.0.0.1:9/cam", "--seconds", "1", *args)
    assert child.returncode == 1 and hint in child.stderr, child.stderr


@pytest.mark.parametrize("options, expected", [
    (None, "rtsp_transport;udp"),
    ("rtsp_transport;tcp|timeout;5000000", "timeout;5000000|rtsp_transport;udp"),
])
def test_camera_tree_udp_option_sets_the_rtsp_transport(options, expected):
    import camera_tree
    assert camera_tree.with_rtsp_transport(options, "udp") == expected


def test_frame_statistics_measure_brightness_and_motion_of_each_frame(capture_module, clip):
    from corvane.plugins.video import nodes
    # The direct pair hands over one frame per tick, so tick n measures frame n exactly.
    tree = Tree()
    tree.add(nodes.CreateVideoCapture, once=True, video_source=clip)
    tree.add(nodes.ReadFrame)
    frame_consumer.add_frame_statistics(tree, frame="frame", prefix="stats")
    for index in range(12):
        tree.tick()
        assert clips.frame_index(tree.blackboard["frame"]) == index
        # A white block covers 1/16 of the picture; the frames differ in the blocks of the
        # bits that changed.
        assert tree.blackboard["stats.brightness"] == pytest.approx(255 * bin(index).count("1") / 16)
        changed = bin(index ^ (index - 1)).count("1") if index else 0
        assert tree.blackboard["stats.motion"] == pytest.approx(255 * changed / 16)
    tree.blackboard["video_capture"].release()


def test_frame_statistics_leave_the_frame_alone_and_skip_ticks_without_one():
    frame = np.full((4, 6, 3), 90, np.uint8)
    board = {"frame": frame}
    tree = Tree(board)
    frame_consumer.add_frame_statistics(tree, frame="frame")
    tree.tick()
    assert board["stats.brightness"] == pytest.approx(90) and board["stats.motion"] == 0.0
    assert (frame == 90).all()
    # Ticks faster than frames: a repeated frame keeps the motion of its arrival.
    for _ in range(2):
        board["frame"] = np.full((4, 6, 3), 100, np.uint8)
        tree.tick()
        assert board["stats.motion"] == pytest.approx(10)
    board["frame"] = None
    tree.tick()
    assert board["stats.brightness"] == pytest.approx(100)


def test_frame_consumer_runs_on_a_clip(clip):
    child = run_example("frame_consumer.py", "--video", clip, "--seconds", "1")
    assert child.returncode == 0, child.stdout + child.stderr
    measured = re.search(r"frames measured: (\d+)", child.stdout)
    assert measured and int(measured.group(1)) >= 15, child.stdout
    assert re.search(r"ticks with motion [1-9]\d*", child.stdout), child.stdout


def test_synthetic_source_is_read_paced_looped_and_sought(capture_module, log, wait_until):
    with synthetic_source.installed(synthetic_source.SyntheticSource, capture_module):
        video = capture_module.ParallVideoCapture("synthetic:?width=64&height=48&fps=100&frames=15")
        try:
            assert video.start()
            assert type(video.cap) is synthetic_source.SyntheticSource
            assert video.get_video_info()["frame_count"] == 15
            assert (video.width, video.height, video.fps) == (64, 48, 100.0)
            # The clip lasts 0.15 s; auto_reload opens a new SyntheticSource at each end.
            assert wait_until(lambda: len([t for t in log.texts("info")
                                           if t.startswith("正在重新加载视频: synthetic:")]) >= 2)
            video.pause()
            assert video.seek(7)
            number, frame = video.get_frame_with_number()
            reference = synthetic_source.SyntheticSource("synthetic:?width=64&height=48")
            assert number == 7 and np.array_equal(frame, reference.render(7))
            assert not np.array_equal(frame, reference.render(8))
        finally:
            video.stop()
    assert capture_module.cv2.VideoCapture is synthetic_source._OPENCV_VIDEO_CAPTURE


def test_synthetic_source_hands_other_sources_to_opencv(clip):
    other = synthetic_source.SyntheticSource(clip)
    try:
        assert type(other) is synthetic_source._OPENCV_VIDEO_CAPTURE and other.isOpened()
    finally:
        other.release()
    empty = synthetic_source.SyntheticSource("synthetic:?frames=0")
    assert not empty.isOpened() and empty.read() == (False, None)


def test_synthetic_source_example_runs():
    child = run_example("synthetic_source.py", "--seconds", "0.5", "--fps", "50", "--frames", "20")
    assert child.returncode == 0, child.stdout + child.stderr
    assert "source class: SyntheticSource" in child.stdout
    assert "reported: 320x240 at 50.00 fps, 20 frames" in child.stdout
    assert "after seek(10): frame number 10" in child.stdout
    assert "cv2.VideoCapture restored: True" in child.stdout


@pytest.mark.parametrize("name", ["camera_tree.py", "demo.py", "frame_consumer.py",
                                  "reconnect.py", "synthetic_source.py"])
def test_help_describes_the_example_in_whole_sentences(name):
    child = run_example(name, "--help")
    assert child.returncode == 0, child.stderr
    description = " ".join(child.stdout.split("\n\n")[1].split())  # between usage and options
    assert description.endswith("."), child.stdout
