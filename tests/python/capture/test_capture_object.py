"""ParallVideoCapture as an object: construction, attributes, arguments, documentation."""
import pathlib
import threading
import time

import pytest

PATH = "/no/such/clip.mkv"

DOCS = {
    "start": "启动视频捕获线程",
    "stop": "停止视频捕获线程",
    "pause": "暂停视频捕获",
    "resume": "恢复视频捕获",
    "_capture_loop": "视频捕获循环",
    "is_running": "检查视频捕获是否正在运行",
    "is_paused": "检查视频捕获是否已暂停",
    "__del__": "析构函数，确保资源被释放",
}


def _doc(summary, args, returns):
    lines = [summary, " " * 8]
    if args:
        lines += [" " * 8 + "Args:"] + [" " * 12 + a for a in args] + [" " * 12]
    lines += [" " * 8 + "Returns:", " " * 12 + returns, " " * 8]
    return "\n".join(lines)


DOCS.update({
    "seek": _doc("跳转到指定帧", ["frame_number: 目标帧号"], "bool: 是否成功跳转"),
    "get_frame": _doc("获取当前帧", ["wait_for_frame: 是否等待新帧", "timeout: 等待超时时间（秒）"],
                      "numpy.ndarray: 当前帧，如果没有可用帧则返回None"),
    "get_frame_with_number": _doc("获取当前帧及其帧号", [],
                                  "tuple: (帧号, 帧数据)，如果没有可用帧则返回(None, None)"),
    "get_video_info": _doc("获取视频信息", [], "dict: 包含视频信息的字典"),
})


@pytest.fixture
def pvc(capture_module):
    return capture_module.ParallVideoCapture


def test_class_name_and_module(pvc):
    assert pvc.__name__ == "ParallVideoCapture"
    assert pvc.__module__ == "corvane.plugins.video.capture"


def test_initial_attributes(pvc):
    cap = pvc(PATH)
    assert cap.video_path == PATH and type(cap.video_path) is str
    assert cap.auto_reload is True
    for name in ("cap", "frame", "thread"):
        assert getattr(cap, name) is None, name
    for name in ("running", "paused"):
        assert getattr(cap, name) is False, name
    for name in ("frame_count", "fps", "width", "height", "duration", "current_frame_number"):
        value = getattr(cap, name)
        assert value == 0 and type(value) is int, name
    assert not cap.frame_ready.is_set()
    assert not cap.lock.locked()
    assert cap.is_running() is False and cap.is_paused() is False


def test_each_object_has_its_own_lock_and_event(pvc):
    a, b = pvc(PATH), pvc(PATH)
    assert a.lock is not b.lock and a.frame_ready is not b.frame_ready
    assert a.lock is a.lock and a.frame_ready is a.frame_ready
    a.frame_ready.set()
    assert not b.frame_ready.is_set()


def test_lock_behaves_like_a_plain_lock(pvc):
    lock = pvc(PATH).lock
    assert lock.acquire() is True
    assert lock.locked()
    assert lock.acquire(False) is False          # not re-entrant
    t0 = time.monotonic()
    assert lock.acquire(blocking=True, timeout=0.1) is False
    assert 0.08 <= time.monotonic() - t0 < 1.0
    lock.release()
    assert not lock.locked()
    with pytest.raises(RuntimeError):
        lock.release()
    with lock:
        assert lock.locked()
        got = []
        t = threading.Thread(target=lambda: got.append(lock.acquire(timeout=0.05)))
        t.start()
        t.join(2)
        assert got == [False]
    assert not lock.locked()


def test_event_behaves_like_an_event(pvc):
    event = pvc(PATH).frame_ready
    t0 = time.monotonic()
    assert event.wait(0.1) is False
    assert 0.08 <= time.monotonic() - t0 < 1.0
    threading.Timer(0.05, event.set).start()
    assert event.wait(2.0) is True
    assert event.is_set() and event.wait() is True and event.wait(None) is True
    event.clear()
    assert not event.is_set()


@pytest.mark.parametrize("event_set", [False, True])
def test_nan_timeouts_behave_as_threadings(pvc, fake, event_set):
    """threading.Event.wait(nan) does not wait: it returns the flag, and get_frame's wait
    does the same. threading.Lock.acquire refuses a NaN timeout before anything else."""
    nan = float("nan")
    fake(frames=1)
    cap = pvc(PATH)
    assert cap.start() and cap.get_frame(True, 2.0) is not None    # the frame is there
    cap.stop()
    if event_set:
        cap.frame_ready.set()
    t0 = time.monotonic()
    assert cap.frame_ready.wait(nan) is event_set
    assert cap.get_frame(True, nan) is not None
    assert time.monotonic() - t0 < 0.05
    assert not cap.frame_ready.is_set()         # consumed when it was set, as a wait's success
    for kwargs in (dict(timeout=nan), dict(blocking=False, timeout=nan)):
        with pytest.raises(Exception) as ours:
            cap.lock.acquire(**kwargs)
        with pytest.raises(Exception) as theirs:
            threading.Lock().acquire(**kwargs)
        assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert not cap.lock.locked()


@pytest.mark.parametrize("name", sorted(DOCS))
def test_documentation_texts(pvc, name):
    assert getattr(pvc, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("value", [None, 1, 2.5, b"clip.mkv", pathlib.Path("clip.mkv"),
                                   type("TextPath", (str,), {})("clip.mkv")])
def test_video_path_must_be_exactly_str(pvc, value):
    with pytest.raises(TypeError) as info:
        pvc(value)
    text = str(info.value)
    assert "video_path" in text and "str" in text and type(value).__name__ in text
    if not isinstance(value, str):       # nor can a later assignment make it no text
        cap = pvc(PATH)
        with pytest.raises(TypeError, match="video_path must be str"):
            cap.video_path = value
        assert cap.video_path == PATH


def test_failed_construction_leaves_nothing_to_report(run_python):
    result = run_python(
        "import gc\n"
        "from corvane.plugins.video.capture import ParallVideoCapture\n"
        "for bad in (None, 7, b'x'):\n"
        "    try:\n"
        "        ParallVideoCapture(bad)\n"
        "    except TypeError:\n"
        "        pass\n"
        "gc.collect()\n", timeout=20)
    assert result.returncode == 0 and result.stderr == ""


@pytest.mark.parametrize("value", [False, 0, "", [], 1, "yes", None])
def test_auto_reload_is_stored_as_given(pvc, value):
    assert pvc(PATH, value).auto_reload == value
    assert type(pvc(PATH, auto_reload=value).auto_reload) is type(value)


def test_keyword_arguments(pvc):
    cap = pvc(video_path=PATH, auto_reload=False)
    assert cap.video_path == PATH and cap.auto_reload is False
    assert cap.get_frame(wait_for_frame=False, timeout=0.1) is None
    assert cap.seek(frame_number=0) is False


@pytest.mark.parametrize("call", [
    lambda P: P(),
    lambda P: P(PATH, True, 1),
    lambda P: P(PATH, reload=True),
    lambda P: P(path=PATH),
    lambda P: P(PATH).start(1),
    lambda P: P(PATH).stop(1),
    lambda P: P(PATH).pause(1),
    lambda P: P(PATH).resume(1),
    lambda P: P(PATH).is_running(1),
    lambda P: P(PATH).is_paused(1),
    lambda P: P(PATH).seek(),
    lambda P: P(PATH).seek(1, 2),
    lambda P: P(PATH).seek(frame=1),
    lambda P: P(PATH).get_frame(False, 0.1, 1),
    lambda P: P(PATH).get_frame(wait=True),
    lambda P: P(PATH).get_frame_with_number(1),
    lambda P: P(PATH).get_video_info(1),
])
def test_bad_argument_lists_are_type_errors(pvc, call, log):
    with pytest.raises(TypeError):
        call(pvc)
    assert log.lines == []


def test_get_frame_defaults(pvc):
    cap = pvc(PATH)
    t0 = time.monotonic()
    assert cap.get_frame() is None                 # does not wait by default
    assert time.monotonic() - t0 < 0.05
    t0 = time.monotonic()
    assert cap.get_frame(True) is None             # waits the default 0.1 s
    assert 0.08 <= time.monotonic() - t0 < 0.6


def test_constructor_opens_and_starts_nothing(pvc, fake, log):
    source = fake()
    before = threading.active_count()
    cap = pvc("fake://x")
    assert source.instances == [] and threading.active_count() == before
    assert cap.cap is None and log.lines == []


@pytest.mark.parametrize("name, value", [
    ("video_path", "other.mkv"), ("fps", 30), ("fps", 12.5), ("frame_count", 7),
    ("frame_count", 7.5), ("width", 640), ("height", 480.0), ("duration", 3),
    ("duration", 2.5), ("fps", "not a number"), ("running", 0), ("paused", 1),
    ("label", "front camera")])
def test_attributes_are_assigned_as_on_a_plain_object(pvc, name, value):
    cap = pvc(PATH)
    setattr(cap, name, value)
    assert getattr(cap, name) == value and type(getattr(cap, name)) is type(value)
    assert (name in vars(cap)) == (name == "label")


def test_assigned_attributes_take_effect(make_capture, fake, log):
    source = fake(frames=None, count=100.0)
    cap = make_capture("fake://first")
    cap.video_path = "fake://second"
    assert cap.start() and source.instances[-1].path == "fake://second"
    cap.frame_count = 3
    assert cap.seek(5) is False and log.texts("error") == ["帧号 5 超出范围 [0, 2]"]
    cap.stop()
    assert cap.start() and cap.frame_count == 100    # a start reads the source again
    cap.paused = 1                                    # shown as given until written again
    assert cap.is_paused() == 1 and type(cap.get_video_info()["is_paused"]) is int
    cap.resume()
    assert cap.paused is False and cap.is_running() is True
