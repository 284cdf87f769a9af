"""CreateThreadedVideoCapture and ReadThreadedFrame: every logged problem, what is passed to
and from the capture, and errors that leave the tick untouched."""
import types

import pytest

from nodes_support import Handle

OPEN_FAILED = "视频加载失败，请检查路径是否正确: "


class FakeCapture:
    """Takes ParallVideoCapture's place; class attributes script its answers."""

    start_result = True
    running = True
    frame = None
    made = []

    def __init__(self, video_path, auto_reload=True):
        self.video_path = video_path
        self.auto_reload = auto_reload
        self.calls = []
        type(self).made.append(self)

    def start(self):
        self.calls.append("start")
        return self.start_result

    def stop(self):
        self.calls.append("stop")

    def is_running(self):
        self.calls.append("is_running")
        return self.running

    def get_frame(self, *args, **kwargs):
        self.calls.append(("get_frame", args, kwargs))
        return self.frame


@pytest.fixture
def fake_capture(nodes, monkeypatch):
    """install(**answers) puts a fresh FakeCapture subclass in place of ParallVideoCapture."""

    def install(**answers):
        cls = type("ScriptedCapture", (FakeCapture,), dict(answers, made=[]))
        monkeypatch.setattr(nodes, "ParallVideoCapture", cls)
        return cls

    return install


@pytest.fixture
def real_captures():
    """Captures made by a test with the real class, stopped when it ends."""
    made = []
    yield made
    for cap in made:
        cap.stop()


# --- CreateThreadedVideoCapture ---------------------------------------------------------

def test_missing_config_logs_module_file_and_creates_nothing(nodes, log, fake_capture, success):
    cls = fake_capture()
    handle = Handle()
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    assert log.lines == [("error", str(nodes.__file__) + " : 配置为空")]
    assert handle.writes == [] and cls.made == []


@pytest.mark.parametrize("config, video_source, auto_reload", [
    ({}, "", True),
    ({"video_source": "a.mkv", "auto_reload": False}, "a.mkv", False),
    ({"video_source": "a.mkv", "auto_reload": 0, "other": 1}, "a.mkv", 0),
    (types.MappingProxyType({"auto_reload": "no"}), "", "no"),
], ids=["empty mapping", "both keys", "falsy non-bool", "read-only mapping"])
def test_config_values_reach_the_capture_unchanged(nodes, log, fake_capture, success,
                                                  config, video_source, auto_reload):
    cls = fake_capture()
    handle = Handle(config=config)
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    (cap,) = cls.made
    assert cap.video_path is video_source or cap.video_path == video_source == ""
    assert cap.auto_reload is auto_reload
    assert cap.calls == ["start"]
    assert handle.writes == [("video_capture", cap)]
    assert log.lines == []


def test_each_successful_tick_outputs_a_new_capture_and_keeps_the_old_running(
        nodes, log, fake_capture):
    cls = fake_capture()
    handle = Handle(config={"video_source": "a.mkv"})
    nodes.CreateThreadedVideoCapture.tick(handle)
    nodes.CreateThreadedVideoCapture.tick(handle)
    first, second = cls.made
    assert first is not second
    assert handle.writes == [("video_capture", first), ("video_capture", second)]
    assert first.calls == second.calls == ["start"]  # never stopped


@pytest.mark.parametrize("start_result", [False, 0, None, ""])
@pytest.mark.parametrize("config, expected_line", [
    ({"video_source": "missing.mkv"}, OPEN_FAILED + "missing.mkv"),
    ({}, OPEN_FAILED),
], ids=["named source", "empty mapping"])
def test_failed_start_logs_the_source_and_writes_nothing(nodes, log, fake_capture, success,
                                                        start_result, config, expected_line):
    cls = fake_capture(start_result=start_result)
    handle = Handle(config=config)
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    assert log.lines == [("error", expected_line)]
    assert handle.writes == []
    assert cls.made[0].calls == ["start"]


def test_failed_open_of_a_real_capture_follows_the_capture_own_line(nodes, log, success,
                                                                    tmp_path):
    path = str(tmp_path / "missing.mkv")
    handle = Handle(config={"video_source": path, "auto_reload": False})
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    assert log.without_info() == [("error", "无法打开视频: " + path),
                                  ("error", OPEN_FAILED + path)]
    assert handle.writes == []


def test_real_capture_is_started_and_output(nodes, log, clip, real_captures, success):
    handle = Handle(config={"video_source": clip})
    assert nodes.CreateThreadedVideoCapture.tick(handle) is success
    [(port, cap)] = handle.writes
    real_captures.append(cap)
    assert port == "video_capture"
    assert type(cap) is nodes.ParallVideoCapture
    assert cap.is_running() and cap.video_path == clip
    assert log.without_info() == []


class _RaisingHandle(Handle):
    def getInputObject(self, name):
        raise RuntimeError("handle broke")


class _StartRaises(FakeCapture):
    def start(self):
        raise OSError("start broke")


@pytest.mark.parametrize("make_handle, capture_class, error", [
    (_RaisingHandle, None, RuntimeError),
    (lambda: Handle(config=object()), None, AttributeError),
    (lambda: Handle(config={"video_source": 5}), "real", TypeError),
    (lambda: Handle(config={"video_source": None}), "real", TypeError),
    (lambda: Handle(config={"video_source": "a.mkv"}), _StartRaises, OSError),
], ids=["handle error", "config without get", "int source", "None source", "start error"])
def test_create_errors_leave_the_tick_without_a_line(nodes, log, monkeypatch, make_handle,
                                                    capture_class, error):
    if capture_class not in (None, "real"):
        monkeypatch.setattr(nodes, "ParallVideoCapture", capture_class)
    handle = make_handle()
    with pytest.raises(error):
        nodes.CreateThreadedVideoCapture.tick(handle)
    assert log.lines == []
    assert handle.writes == []


# --- ReadThreadedFrame --------------------------------------------------------------------

@pytest.mark.parametrize("running, path, text", [
    (False, "cam.mkv", "cam.mkv"), (0, "cam.mkv", "cam.mkv"), (None, 42, "42"),
])
def test_capture_not_running_warns_with_its_path(nodes, log, success, running, path, text):
    cap = FakeCapture(path)
    cap.running = running
    handle = Handle(video_capture=cap)
    assert nodes.ReadThreadedFrame.tick(handle) is success
    assert log.lines == [("warning", "视频未启动: " + text)]
    assert cap.calls == ["is_running"]
    assert handle.writes == []


def test_no_frame_yet_warns_with_its_path(nodes, log, success):
    cap = FakeCapture("cam.mkv")
    handle = Handle(video_capture=cap)
    assert nodes.ReadThreadedFrame.tick(handle) is success
    assert log.lines == [("warning", "无法读取视频帧: cam.mkv")]
    assert handle.writes == []


@pytest.mark.parametrize("frame", [object(), 0, b""], ids=["object", "zero", "empty bytes"])
def test_frame_is_output_whatever_its_truth_value(nodes, log, success, frame):
    cap = FakeCapture("cam.mkv")
    cap.frame = frame
    handle = Handle(video_capture=cap)
    assert nodes.ReadThreadedFrame.tick(handle) is success
    assert cap.calls == ["is_running", ("get_frame", (), {})]  # defaults: no waiting
    assert handle.writes == [("frame", frame)]
    assert log.lines == []


def test_nothing_on_the_input_ends_the_tick_with_the_error(nodes, log):
    handle = Handle()
    with pytest.raises(AttributeError, match="is_running"):
        nodes.ReadThreadedFrame.tick(handle)
    assert log.lines == [] and handle.writes == []


def test_stopped_real_capture_warns_on_every_tick(nodes, log, clip, wait_frame, real_captures,
                                                  success):
    cap = nodes.ParallVideoCapture(clip)
    real_captures.append(cap)
    assert cap.start()
    wait_frame(cap)
    handle = Handle(video_capture=cap)
    assert nodes.ReadThreadedFrame.tick(handle) is success
    cap.stop()
    for _ in range(2):
        assert nodes.ReadThreadedFrame.tick(handle) is success
    assert len(handle.writes) == 1
    assert log.without_info()[-2:] == [("warning", "视频未启动: " + clip)] * 2


@pytest.fixture
def wait_frame():
    def wait(cap, timeout=5.0):
        # Blocks on the capture's own frame event; no polling.
        assert cap.get_frame(wait_for_frame=True, timeout=timeout) is not None
    return wait
