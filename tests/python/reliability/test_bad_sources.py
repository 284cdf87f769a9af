"""Sources that cannot be played: start refuses them promptly with its error line, the
nodes report them, and a clip cut short plays what it holds, then ends or starts again."""
import os
import socket
import time

import pytest

from clips import frame_index
from nodes_support import Handle

# Opening any of these takes about 0.05 s here; the bound leaves room for a loaded machine.
OPEN_BOUND_S = 5.0


def closed_port():
    """A TCP port on 127.0.0.1 that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def bad_sources(broken_files, tmp_path_factory):
    folder = tmp_path_factory.mktemp("missing")
    port = closed_port()
    sources = {name: broken_files[name] for name in ("empty", "random", "header_only", "directory")}
    sources.update({
        "missing": str(folder / "no_such_clip.mkv"),
        "lone_surrogate": str(folder / "clip_\udcff.mkv"),
        "long_path": "/" + "d" * 254 + "/" + "c" * 4740 + ".mkv",     # 5000 characters
        "nul_inside": str(folder / "clip\x00.mkv"),
        "empty_string": "",
        "unknown_scheme": "foo://example/clip.mkv",
        "rtsp_closed_port": f"rtsp://127.0.0.1:{port}/stream",
        "http_closed_port": f"http://127.0.0.1:{port}/clip.mkv",
    })
    assert len(sources["long_path"]) == 5000
    return sources


SOURCE_NAMES = ["missing", "directory", "empty", "random", "header_only", "lone_surrogate",
                "long_path", "nul_inside", "empty_string", "unknown_scheme", "rtsp_closed_port",
                "http_closed_port"]


@pytest.mark.parametrize("name", SOURCE_NAMES)
def test_start_refuses_promptly(make_capture, log, bad_sources, name):
    path = bad_sources[name]
    cap = make_capture(path, auto_reload=True)
    t0 = time.monotonic()
    assert cap.start() is False
    assert time.monotonic() - t0 < OPEN_BOUND_S
    assert log.lines == [("error", "无法打开视频: " + path)]
    assert not cap.is_running() and cap.thread is None and cap.get_frame() is None
    assert cap.get_video_info()["width"] == 0
    assert cap.seek(0) is False
    cap.stop()
    assert cap.cap is None


@pytest.mark.parametrize("name", SOURCE_NAMES)
def test_threaded_node_reports_the_source(nodes, node_log, bad_sources, success, name):
    path = bad_sources[name]
    handle = Handle(config={"video_source": path})
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    assert node_log.without_info() == [("error", "无法打开视频: " + path),
                                       ("error", "视频加载失败，请检查路径是否正确: " + path)]
    assert handle.writes == []


@pytest.mark.parametrize("name", [n for n in SOURCE_NAMES if n != "lone_surrogate"])
def test_direct_node_reports_the_failure(nodes, node_log, bad_sources, success, name):
    handle = Handle(video_source=bad_sources[name])
    t0 = time.monotonic()
    assert nodes.CreateVideoCapture.tick(handle) is success
    assert time.monotonic() - t0 < OPEN_BOUND_S
    assert node_log.lines == [("error", "视频加载失败，请检查路径是否正确")]
    assert handle.writes == []


DIRECT_SURROGATE = """
import sys
sys.path.insert(0, sys.argv[1])
import corvane.plugins.video.nodes as nodes
from nodes_support import Handle, LogRecorder
nodes.logger = LogRecorder()
handle = Handle(video_source="clip_\\udcff.mkv")
print(nodes.CreateVideoCapture.tick(handle) is nodes.NodeStatus.SUCCESS, nodes.logger.lines,
      handle.writes)
"""


def test_direct_node_survives_a_source_that_is_not_utf8(run_python):
    nodes_dir = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "nodes")
    result = run_python(DIRECT_SURROGATE, timeout=30, args=[nodes_dir])
    assert result.returncode == 0, f"status {result.returncode}"
    assert result.stdout.strip() == "True [('error', '视频加载失败，请检查路径是否正确')] []"


# --- a clip cut short ------------------------------------------------------------------------

def played_pairs(cap, seconds):
    pairs = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        number, frame = cap.get_frame_with_number()
        if frame is not None and (not pairs or pairs[-1][0] != number):
            pairs.append((number, frame_index(frame)))
        time.sleep(0.002)
    return pairs


@pytest.fixture(scope="module")
def cut_clips(broken_files, clip30, tmp_path_factory):
    """The 30-frame clip cut in its middle, and cut inside its last frame."""
    data = open(clip30, "rb").read()
    last = tmp_path_factory.mktemp("cut") / "cut_in_last_frame.mkv"
    last.write_bytes(data[:-7])
    return {"cut_in_half": broken_files["cut_in_half"], "cut_in_last_frame": str(last)}


@pytest.mark.parametrize("name", ["cut_in_half", "cut_in_last_frame"])
def test_cut_clip_plays_what_it_holds_then_ends(make_capture, log, cut_clips, wait_until, name):
    path = cut_clips[name]
    cap = make_capture(path, auto_reload=False)
    assert cap.start() is True
    assert wait_until(lambda: not cap.is_running(), 3.0)
    number, frame = cap.get_frame_with_number()
    assert 1 <= number <= 30 and number == frame_index(frame) + 1
    assert log.lines[1:] == [("warning", "视频读取结束或出错")]
    assert cap.thread.join(1.0) is None and not cap.thread.is_alive()


def test_cut_clip_loops_with_reload(make_capture, log, cut_clips):
    path = cut_clips["cut_in_half"]
    cap = make_capture(path)
    assert cap.start() is True
    pairs = played_pairs(cap, 0.6)
    held = max(i for _, i in pairs) + 1          # frames the cut clip holds
    assert 1 <= held < 30
    assert all(n == i + 1 or (n, i) == (0, held - 1) for n, i in pairs), pairs
    assert any(b[0] < a[0] for a, b in zip(pairs, pairs[1:]))          # it started again
    reload = "正在重新加载视频: " + path + "..."
    texts = [t for _, t in log.lines[1:]]
    assert set(texts) <= {"视频读取结束或出错", reload} and texts.count(reload) >= 2
    assert log.texts("error") == []


def test_seek_past_the_cut(make_capture, log, cut_clips, wait_until):
    """The cut clip still reports 30 frames: a seek to a frame it no longer holds fails
    with its line and leaves the current pair alone; one to a frame it holds succeeds."""
    cap = make_capture(cut_clips["cut_in_half"])
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.05)
    before = cap.get_frame_with_number()
    log.clear()
    assert cap.seek(28) is False
    assert log.lines == [("error", "跳转到帧 28 失败")]
    number, frame = cap.get_frame_with_number()
    assert number == before[0] and frame_index(frame) == frame_index(before[1])
    assert cap.seek(3) is True
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (3, 3)
