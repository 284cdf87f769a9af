"""Every public operation of both modules called with arguments of the wrong kind or value:
a clear error or the documented result, never a crash, and a refused call changes nothing."""
import json
import math
import threading
import time
from fractions import Fraction

import numpy as np
import pytest

from capture_support import make_fake_class
from clips import frame_index
from nodes_support import Handle

LAST = 29                              # clip30 has frames 0..29


class Boom(Exception):
    pass


class NoTruth:
    """A value whose truth value cannot be taken."""

    def __bool__(self):
        raise Boom("no truth value")


class NoFloat:
    def __float__(self):
        raise Boom("no float")


@pytest.fixture(scope="module")
def paused(capture_module, clip30):
    """One running capture on a clip, paused after a few frames, shared by the refused calls:
    a call that is refused must leave it exactly as it was."""
    cap = capture_module.ParallVideoCapture(clip30)
    capture_module.logger, saved = _Silent(), capture_module.logger
    try:
        assert cap.start()
        deadline = time.monotonic() + 3
        while cap.current_frame_number < 3 and time.monotonic() < deadline:
            time.sleep(0.005)
        cap.pause()
        time.sleep(0.05)               # a pass under way when pause() returned has ended
    finally:
        capture_module.logger = saved
    yield cap
    cap.stop()


class _Silent:
    def info(self, text):
        pass

    warning = error = info


def state(cap):
    number, frame = cap.get_frame_with_number()
    return dict(info=cap.get_video_info(), source=cap.cap, thread=cap.thread,
                auto_reload=cap.auto_reload, video_path=cap.video_path, number=number,
                index=None if frame is None else frame_index(frame),
                ready=cap.frame_ready.is_set(), locked=cap.lock.locked())


def _set(name, value):
    return lambda c: setattr(c, name, value)


def _del(name):
    return lambda c: delattr(c, name)


REFUSED = [
    # (call, error, message part)
    (lambda c: c.start(1), TypeError, None),
    (lambda c: c.stop(1), TypeError, None),
    (lambda c: c.pause(1), TypeError, None),
    (lambda c: c.resume(1), TypeError, None),
    (lambda c: c.is_running(1), TypeError, None),
    (lambda c: c.is_paused(1), TypeError, None),
    (lambda c: c.get_video_info(1), TypeError, None),
    (lambda c: c.get_frame_with_number(1), TypeError, None),
    (lambda c: c._capture_loop(1), TypeError, None),
    (lambda c: c.seek(), TypeError, None),
    (lambda c: c.seek(1, 2), TypeError, None),
    (lambda c: c.seek(frame=1), TypeError, None),
    (lambda c: c.seek("3"), TypeError, None),
    (lambda c: c.seek(b"3"), TypeError, None),
    (lambda c: c.seek(None), TypeError, None),
    (lambda c: c.seek([3]), TypeError, None),
    (lambda c: c.seek(1 + 2j), TypeError, None),
    (lambda c: c.seek(object()), TypeError, None),
    (lambda c: c.get_frame(False, None), TypeError, None),
    (lambda c: c.get_frame(True, "0.1"), TypeError, None),
    (lambda c: c.get_frame(timeout=[0.1]), TypeError, None),
    (lambda c: c.get_frame(False, NoFloat()), Boom, "no float"),
    (lambda c: c.get_frame(wait=True), TypeError, None),
    (lambda c: c.get_frame(False, 0.1, 1), TypeError, None),
    (lambda c: c.get_frame(NoTruth(), 0.1), Boom, "no truth value"),
    (lambda c: type(c).start(None), TypeError, None),
    (lambda c: type(c).get_frame("not a capture"), TypeError, None),
    (lambda c: type(c).seek(object(), 1), TypeError, None),
    (_set("thread", None), AttributeError, "only start launches"),
    (_set("lock", None), AttributeError, "created once"),
    (_set("frame_ready", None), AttributeError, "created once"),
    (_set("current_frame_number", "7"), TypeError, None),
    (_set("current_frame_number", None), TypeError, None),
    (_set("current_frame_number", [7]), TypeError, None),
    (_set("running", NoTruth()), Boom, "no truth value"),
    (_set("paused", NoTruth()), Boom, "no truth value"),
    (lambda c: c.cap.get("fps"), TypeError, None),
    (lambda c: c.cap.get(2 ** 70), TypeError, None),
    (lambda c: c.cap.set(None, 1), TypeError, None),
    (lambda c: c.cap.set(1, "x"), TypeError, None),
    (lambda c: c.cap.read(1), TypeError, None),
    (lambda c: c.cap.isOpened(1), TypeError, None),
    (lambda c: c.cap.release(1), TypeError, None),
    (_del("cap"), AttributeError, None),
    (_del("frame"), AttributeError, None),
    (_del("running"), AttributeError, None),
    (_del("current_frame_number"), AttributeError, None),
]


@pytest.mark.parametrize("call, error, message", REFUSED, ids=[
    f"{i:02d}" for i in range(len(REFUSED))])
def test_refused_call_changes_nothing(paused, log, call, error, message):
    before = state(paused)
    with pytest.raises(error) as info:
        call(paused)
    if message:
        assert message in str(info.value)
    assert state(paused) == before
    assert log.lines == []
    # Still fully usable: a seek takes the lock and the source and publishes.
    assert paused.seek(2) is True
    number, frame = paused.get_frame_with_number()
    assert (number, frame_index(frame)) == (2, 2)
    assert paused.is_running() and paused.is_paused()


@pytest.mark.parametrize("args", [(None,), ("other.mkv", False)], ids=["bad path", "good path"])
def test_calling_the_constructor_again_changes_nothing(paused, log, args):
    before = state(paused)
    try:
        type(paused).__init__(paused, *args)
    except TypeError:
        pass
    assert state(paused) == before and log.lines == []


OPERATIONS = ["start", "stop", "pause", "resume", "is_running", "is_paused", "get_frame",
              "get_frame_with_number", "get_video_info", "_capture_loop"]
ATTRIBUTES = ["video_path", "auto_reload", "cap", "frame", "running", "thread", "lock", "paused",
              "frame_count", "fps", "width", "height", "duration", "current_frame_number",
              "frame_ready"]


def test_a_capture_whose_constructor_never_ran(capture_module, log):
    """Every operation and attribute refuses an object that __init__ never set up, and a
    subclass must run it."""
    P = capture_module.ParallVideoCapture
    with pytest.raises(TypeError, match="__init__"):
        type("Careless", (P,), {"__init__": lambda self, *args: None})("clip.mkv")
    cap = P.__new__(P)
    calls = [getattr(cap, name) for name in OPERATIONS] + [lambda: cap.seek(1)]
    calls += [lambda name=name: getattr(cap, name) for name in ATTRIBUTES]
    calls += [lambda: setattr(cap, "running", True), lambda: setattr(cap, "current_frame_number", 1)]
    for call in calls:
        with pytest.raises(TypeError, match="__init__"):
            call()
    assert log.lines == []
    del cap, calls


def test_auto_reload_without_truth_fails_at_the_end_of_the_stream(capture_module, node_log,
                                                                  monkeypatch):
    """auto_reload is tested for its truth where the worker needs it, at the end of the
    stream: construction and assignment accept a value whose truth test raises; the pass
    fails there (its error line), and the test in the error handling then ends the worker
    unhandled, and its run with it."""
    failures = []
    monkeypatch.setattr(threading, "excepthook", lambda args: failures.append(args.exc_value))
    monkeypatch.setattr(capture_module.cv2, "VideoCapture", make_fake_class(frames=3))
    cap = capture_module.ParallVideoCapture("fake://x", NoTruth())
    cap.auto_reload = NoTruth()
    assert cap.start()
    cap.thread.join(3.0)
    assert not cap.thread.is_alive() and not cap.is_running()
    assert ("error", "视频捕获过程中发生错误: no truth value") in node_log.lines
    assert [type(e) for e in failures] == [Boom]
    cap.stop()


@pytest.mark.parametrize("target, accepted, text, index", [
    (math.nan, False, f"帧号 nan 超出范围 [0, {LAST}]", None),
    (math.inf, False, f"帧号 inf 超出范围 [0, {LAST}]", None),
    (-math.inf, False, f"帧号 -inf 超出范围 [0, {LAST}]", None),
    (2 ** 63 - 1, False, f"帧号 {2 ** 63 - 1} 超出范围 [0, {LAST}]", None),
    (10 ** 30, False, f"帧号 {10 ** 30} 超出范围 [0, {LAST}]", None),
    (-10 ** 30, False, f"帧号 {-10 ** 30} 超出范围 [0, {LAST}]", None),
    (2 ** 63, False, f"帧号 {2 ** 63} 超出范围 [0, {LAST}]", None),
    (True, True, "已跳转到帧 True", 1),
    (np.int64(3), True, "已跳转到帧 3", 3),
    (np.float64(4.0), True, "已跳转到帧 4.0", 4),
    (-0.0, True, "已跳转到帧 -0.0", 0),
    (float(LAST), True, f"已跳转到帧 {LAST}.0", LAST),
    (Fraction(4), True, "已跳转到帧 4", 4),
], ids=["nan", "inf", "-inf", "2**63-1", "10**30", "-10**30", "2**63", "True", "numpy int",
        "numpy float", "-0.0", "last as float", "Fraction"])
def test_seek_to_odd_values(paused, log, target, accepted, text, index):
    """NaN is refused like any target outside the range (positioning a decoder at NaN is
    meaningless); other values follow the comparison rules of numbers."""
    before = state(paused)
    assert paused.seek(target) is accepted
    assert log.lines == [("info" if accepted else "error", text)]
    number, frame = paused.get_frame_with_number()
    if accepted:
        assert number == target and type(number) is type(target) and frame_index(frame) == index
    else:
        assert state(paused) == before


@pytest.mark.parametrize("timeout", [-1, -math.inf, 0, 0.0])
def test_waits_that_end_at_once(paused, timeout):
    paused.frame_ready.clear()
    t0 = time.monotonic()
    frame = paused.get_frame(True, timeout)
    assert time.monotonic() - t0 < 0.5
    assert frame is not None and not paused.frame_ready.is_set()


UNBOUNDED_WAIT = """
import json, math, threading, time
import corvane.plugins.video.capture as mod
cap = mod.ParallVideoCapture("/no/such/clip.mkv")
outcome = {}
def call(value):
    try:
        outcome[repr(value)] = repr(cap.get_frame(True, value))
    except Exception as exc:
        outcome[repr(value)] = type(exc).__name__
values = [math.inf, 1e300, threading.TIMEOUT_MAX * 2]
waiters = [threading.Thread(target=call, args=(v,), daemon=True) for v in values]
for w in waiters:
    w.start()
time.sleep(1.0)
print(json.dumps(outcome))
"""


def test_a_timeout_beyond_the_longest_wait_is_refused(run_python):
    """No timeout means waiting without limit: one that the runtime's own event cannot
    wait for (infinity included) fails at once with OverflowError, as threading.Event.wait
    does."""
    result = run_python(UNBOUNDED_WAIT, timeout=30)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome == {"inf": "OverflowError", "1e+300": "OverflowError",
                       repr(float(__import__("threading").TIMEOUT_MAX * 2)): "OverflowError"}


# --- nodes ---------------------------------------------------------------------------------

NODE_CLASSES = ["CreateThreadedVideoCapture", "ReadThreadedFrame", "CreateVideoCapture", "ReadFrame"]


class RaisingHandle(Handle):
    def getInputObject(self, name):
        raise Boom("handle broke")

    getInputString = getInputObject


class UncallableHandle:
    getInputObject = getInputString = setOutput = None


@pytest.mark.parametrize("name", NODE_CLASSES)
@pytest.mark.parametrize("call, error", [
    (lambda tick: tick(), TypeError),
    (lambda tick: tick(Handle(), Handle()), TypeError),
    (lambda tick: tick(nod=Handle()), TypeError),
    (lambda tick: tick(None), AttributeError),
    (lambda tick: tick(42), AttributeError),
    (lambda tick: tick(UncallableHandle()), TypeError),
    (lambda tick: tick(RaisingHandle()), Boom),
], ids=["no handle", "two handles", "wrong keyword", "None", "int", "uncallable methods",
        "raising handle"])
def test_ticks_with_bad_handles(nodes, node_log, name, call, error):
    with pytest.raises(error):
        call(getattr(nodes, name).tick)
    assert node_log.lines == []


class NoGet(dict):
    def get(self, key, default=None):
        raise Boom("get broke")


@pytest.mark.parametrize("name, inputs, error", [
    ("CreateThreadedVideoCapture", {"config": 5}, AttributeError),
    ("CreateThreadedVideoCapture", {"config": NoGet()}, Boom),
    ("CreateThreadedVideoCapture", {"config": {"video_source": b"clip.mkv"}}, TypeError),
    ("ReadThreadedFrame", {"video_capture": "clip.mkv"}, AttributeError),
    ("ReadThreadedFrame", {"video_capture": type("C", (), {"is_running": lambda self: NoTruth(),
                                                           "video_path": "p"})()}, Boom),
    ("CreateVideoCapture", {"video_source": b"clip.mkv"}, Exception),
    ("CreateVideoCapture", {"video_source": 2.5}, Exception),
    ("ReadFrame", {"video_capture": 5}, AttributeError),
    ("ReadFrame", {"video_capture": type("C", (), {"isOpened": lambda self: NoTruth()})()}, Boom),
], ids=["config int", "config get raises", "bytes source",
        "capture is a str", "is_running without truth", "bytes source (direct)",
        "float source (direct)", "capture is an int", "isOpened without truth"])
def test_ticks_with_bad_inputs(nodes, node_log, name, inputs, error):
    handle = Handle(**inputs)
    with pytest.raises(error):
        getattr(nodes, name).tick(handle)
    assert node_log.lines == [] and handle.writes == []
