"""Python sources (in place of cv2.VideoCapture) that misbehave in every method, and other
faulty collaborators: each fault has its documented outcome and nothing crashes."""
import itertools
import math
import os
import threading
import time

import numpy as np
import pytest

from capture_support import FPS, FRAME_COUNT, HEIGHT, SIZE, WIDTH
from clips import frame_index, make_frame

START_ERROR = "启动视频捕获时发生错误: "
PASS_ERROR = "视频捕获过程中发生错误: "
END = ("warning", "视频读取结束或出错")


class Boom(Exception):
    pass


class NoTruth:
    def __bool__(self):
        raise Boom("no truth value")


def boom(text):
    def raise_it(*args):
        raise Boom(text)
    return raise_it


class Raising:
    """A property value standing for a get that raises."""


PROPERTY_IDS = {"frame count": FRAME_COUNT, "fps": FPS, "width": WIDTH, "height": HEIGHT}


@pytest.mark.parametrize("value, integer_text", [
    (math.nan, "cannot convert float NaN to integer"),
    (math.inf, "cannot convert float infinity to integer"),
    (-math.inf, "cannot convert float infinity to integer"),
    ("25", None),
    (None, None),
    (NoTruth(), None),
    (Raising, "get broke"),
], ids=["nan", "inf", "-inf", "str", "None", "no truth", "raises"])
@pytest.mark.parametrize("prop", sorted(PROPERTY_IDS))
def test_faulty_property_reports(fake, make_capture, log, prop, value, integer_text):
    source = fake(frames=None, count=30.0)
    pid = PROPERTY_IDS[prop]
    props = dict(source.props)
    props[pid] = value
    source.props = props
    if value is Raising:
        source.get = lambda self, p: boom("get broke")() if p == pid else props[p]
    cap = make_capture()
    numeric = isinstance(value, float)
    if prop == "fps" and numeric:
        # The rate is kept unconverted; only a positive one gives a duration.
        assert cap.start() is True
        rate = {math.inf: "inf", -math.inf: "-inf"}.get(value, "nan")
        assert log.lines == [("info", f"视频信息: 分辨率=32x32, 帧率={rate}fps, 总帧数=30, 时长=0.00秒")]
        assert cap.duration == 0 and type(cap.duration) is (float if value > 0 else int)
        cap.pause()
        return
    assert cap.start() is False
    (level, text), = log.lines
    assert level == "error" and text.startswith(START_ERROR)
    if integer_text and (prop != "fps" or value is Raising):
        assert text == START_ERROR + integer_text
    assert not cap.is_running() and cap.thread is None and cap.cap is None
    assert [s.released for s in source.instances] == [1]


@pytest.mark.parametrize("opens, started, line", [
    (lambda s: NoTruth(), False, ("error", START_ERROR + "no truth value")),
    (boom("isOpened broke"), False, ("error", START_ERROR + "isOpened broke")),
    (lambda s: "yes", True, None),
    (lambda s: [], False, ("error", "无法打开视频: fake://source")),
], ids=["no truth", "raises", "truthy str", "falsy list"])
def test_faulty_is_opened(fake, make_capture, log, opens, started, line):
    source = fake(frames=None, opens=opens)
    cap = make_capture()
    assert cap.start() is started
    if line:
        assert log.lines == [line]
        assert not cap.is_running()
    if line and line[1].startswith(START_ERROR):
        assert cap.cap is None and source.instances[0].released == 1


def test_factory_returning_none(capture_module, log, monkeypatch):
    monkeypatch.setattr(capture_module.cv2, "VideoCapture", lambda path: None)
    cap = capture_module.ParallVideoCapture("fake://source")
    try:
        assert cap.start() is False
        assert log.lines == [("error", START_ERROR + "'NoneType' object has no attribute 'isOpened'")]
        assert cap.cap is None
        cap.stop()
    finally:
        cap.cap = None


def test_factory_returning_an_object_without_methods(capture_module, make_capture, log,
                                                     monkeypatch):
    """The error path of start releases what cap holds; an error of that release is not
    caught, and stop meets it again."""
    thing = object()
    monkeypatch.setattr(capture_module.cv2, "VideoCapture", lambda path: thing)
    cap = make_capture()
    with pytest.raises(AttributeError, match="release"):
        cap.start()
    assert log.lines == [("error", START_ERROR + "'object' object has no attribute 'isOpened'")]
    assert cap.cap is thing and not cap.is_running()
    with pytest.raises(AttributeError, match="release"):
        cap.stop()
    cap.cap = None


def _returning(value):
    return lambda self: value


IMAGE = make_frame(5, SIZE, SIZE)


@pytest.mark.parametrize("result, outcome", [
    (None, "cannot unpack non-iterable NoneType object"),
    ((True,), "not enough values to unpack (expected 2, got 1)"),
    (itertools.repeat(IMAGE), "too many values to unpack (expected 2)"),
    ((NoTruth(), IMAGE), "no truth value"),
    (("", IMAGE), "end"),
    ((np.bool_(False), IMAGE), "end"),
    ((0, None), "end"),
    ([1, IMAGE], "published"),
    ((np.bool_(True), IMAGE), "published"),
], ids=["None", "one value", "endless iterator", "flag without truth", "empty str flag",
        "numpy false", "zero and None", "list", "numpy true"])
def test_read_results(fake, make_capture, log, wait_until, result, outcome):
    source = fake(frames=None)
    source.read = _returning(result)
    cap = make_capture(auto_reload=False)
    cap.start()
    if outcome == "published":
        assert wait_until(lambda: cap.current_frame_number >= 3)
        number, frame = cap.get_frame_with_number()
        assert frame_index(frame) == 5 and cap.is_running()
        assert log.lines[1:] == []
        return
    assert wait_until(lambda: not cap.is_running())
    assert log.lines[1:] == ([END] if outcome == "end" else [("error", PASS_ERROR + outcome)])
    assert cap.get_frame_with_number() == (None, None) and cap.current_frame_number == 0


def test_frames_that_cannot_be_copied(fake, make_capture, wait_until):
    """A frame is stored as read; a copy that fails reaches the caller, lock released."""
    source = fake(frames=None)
    source.read = _returning((True, "not an image"))
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    for call in (cap.get_frame, cap.get_frame_with_number):
        with pytest.raises(AttributeError, match="copy"):
            call()
        assert not cap.lock.locked()
    assert cap.frame == "not an image" and cap.is_running()


def test_read_that_succeeds_without_an_image(fake, make_capture, wait_until):
    source = fake(frames=None)
    source.read = _returning((True, None))
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    assert cap.get_frame() is None
    assert cap.get_frame_with_number() == (None, None)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_in_read_ends_only_the_worker(fake, make_capture, log, wait_until, monkeypatch,
                                                interrupt):
    """An interrupt passes through the worker's guards: the worker ends, and with it the
    run, so is_running() says False and the next start starts a worker again."""
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args.exc_type))

    def script(source):
        if len(source.reads) == 3:
            raise interrupt()

    source = fake(frames=None, hook=script)
    cap = make_capture()
    cap.start()
    worker = cap.thread
    assert wait_until(lambda: not worker.is_alive())
    assert cap.is_running() is False and log.lines[1:] == []
    assert reported == [interrupt]          # the runtime's hook; it is silent on SystemExit
    cap.stop()
    assert source.instances[0].released == 1
    source.hook = None
    assert cap.start() is True and cap.thread is not worker
    assert wait_until(lambda: cap.current_frame_number > 3) and cap.is_running() is True


def test_read_blocking_longer_than_stop_waits(fake, make_capture, log, wait_until):
    """stop gives up after its 1 s wait; the source is released only when the hung read
    returns, by the thread leaving it; a new run meanwhile is not disturbed, and the late
    frame of the old run is never published."""
    gate = threading.Event()
    late = make_frame(999, SIZE, SIZE)

    def script(source):
        if source.index == 0 and len(source.reads) == 3:
            gate.wait(10.0)
            return True, late
        return None

    source = fake(frames=None, fps=200.0, hook=script)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: len(source.instances[0].reads) == 3)
    old_worker = cap.thread
    t0 = time.monotonic()
    cap.stop()
    assert 0.9 <= time.monotonic() - t0 < 1.6
    assert cap.cap is None and not cap.is_running()
    assert source.instances[0].released == 0                 # not under the running read
    assert old_worker.is_alive()

    assert cap.start() is True
    assert wait_until(lambda: cap.current_frame_number >= 5)
    seen = set()
    gate.set()
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        seen.add(frame_index(cap.get_frame()))
    assert 999 not in seen
    old_worker.join(2.0)
    assert not old_worker.is_alive() and cap.is_running()
    assert [s.released for s in source.instances] == [1, 0]
    assert [t for _, t in log.lines if not t.startswith("视频信息")] == []


def test_release_raising_in_stop(fake, make_capture, wait_until):
    source = fake(frames=None, release_hook=boom("release broke"))
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 1)
    with pytest.raises(Boom, match="release broke"):
        cap.stop()
    assert not cap.is_running() and not cap.thread.is_alive()
    assert cap.cap is source.instances[0]                    # the steps after it did not run
    source.release_hook = None
    cap.stop()
    assert cap.cap is None and source.instances[0].released == 1


def test_release_raising_in_the_error_path_of_start(fake, make_capture, log):
    source = fake(frames=None, width=None, release_hook=boom("release broke"))
    cap = make_capture()
    with pytest.raises(Boom, match="release broke"):
        cap.start()
    (level, text), = log.lines
    assert level == "error" and text.startswith(START_ERROR)
    assert not cap.is_running() and cap.thread is None
    source.release_hook = None


def test_deferred_release_that_raises_is_dropped(fake, make_capture, wait_until, monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args))
    gate = threading.Event()
    source = fake(frames=None, release_hook=boom("release broke"),
                  hook=lambda s: gate.wait(10.0) and None if len(s.reads) == 2 else None)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: len(source.instances[0].reads) == 2)
    cap.stop()                                               # gives up waiting; no error
    worker = cap.thread
    gate.set()
    worker.join(2.0)
    assert not worker.is_alive() and reported == [] and cap.cap is None


def test_logger_failing_inside_the_error_handling(capture_module, fake, make_capture, log,
                                                  wait_until, monkeypatch):
    """A failure in the worker's own error handling ends the worker unhandled, and with it
    the run; the capture starts again afterwards."""
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args.exc_value))
    source = fake(frames=None, hook=lambda s: boom("read broke")() if len(s.reads) == 3 else None)

    class BrokenLogger:
        def info(self, text):
            pass

        warning = info

        def error(self, text):
            raise Boom("logger broke")

    cap = make_capture()
    monkeypatch.setattr(capture_module, "logger", BrokenLogger())
    cap.start()
    worker = cap.thread
    assert wait_until(lambda: not worker.is_alive())
    assert cap.is_running() is False
    assert [str(e) for e in reported] == ["logger broke"]
    monkeypatch.setattr(capture_module, "logger", log)
    cap.stop()
    source.hook = None
    assert cap.start() is True and wait_until(lambda: cap.current_frame_number > 3)


@pytest.mark.parametrize("callback", ["get_frame_with_number", "get_frame", "get_video_info",
                                      "pause_resume", "is_running", "stop"])
def test_source_calling_back_into_its_capture(fake, make_capture, wait_until, callback):
    holder = {}
    answers = []

    def script(source):
        if len(source.reads) == 3:
            cap = holder["cap"]
            if callback == "pause_resume":
                cap.pause()
                cap.resume()
            else:
                answers.append(getattr(cap, callback)())
        return None

    source = fake(frames=None, count=100.0, hook=script)
    cap = holder["cap"] = make_capture()
    cap.start()
    if callback == "stop":
        assert wait_until(lambda: not cap.thread.is_alive())
        assert answers == [None] and not cap.is_running()
        assert source.instances[0].released == 1
    else:
        assert wait_until(lambda: cap.current_frame_number >= 6)
        assert cap.is_running() and not cap.is_paused()


SEEK_REENTERED = """
import sys, threading, time
where = sys.argv[1]
sys.path[:0] = sys.argv[2:]
import corvane.plugins.video.capture as mod
from capture_support import make_fake_class
from loguru import logger
logger.remove()
holder, answers = {"armed": where == "worker_read"}, []
def call_back(*args):
    if holder["armed"] and (where != "worker_read" or len(args[0].reads) == 3):
        holder["armed"] = False
        answers.append(holder["cap"].seek(1))
source = make_fake_class(frames=None, count=100.0, **{
    "set_hook" if where == "seek_set" else "hook": call_back})
mod.cv2.VideoCapture = source
cap = holder["cap"] = mod.ParallVideoCapture("fake://x")
cap.start()
outer = None
if where != "worker_read":
    cap.pause(); time.sleep(0.05); holder["armed"] = True
    outer = cap.seek(5)
    cap.resume()
deadline = time.monotonic() + 0.5
while cap.current_frame_number < 8 and time.monotonic() < deadline:
    time.sleep(0.01)
print(answers, outer, cap.current_frame_number >= 8)
"""


@pytest.mark.parametrize("where, outer", [("worker_read", "None"), ("seek_set", "True"),
                                          ("seek_read", "True")])
def test_source_seeking_its_capture_from_inside_a_call(run_python, where, outer):
    """A seek from inside a call on the source (the worker's read, or the set or read of a
    seek in progress) cannot use the source: it is refused, and the call it came from goes
    on instead of waiting for itself."""
    here = os.path.dirname(os.path.abspath(__file__))
    result = run_python(SEEK_REENTERED, timeout=30, args=[
        where, os.path.join(os.path.dirname(here), "capture"), os.path.dirname(here)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[False]", outer, "True"]


def test_seek_behind_a_hung_read_does_not_hold_back_readers(fake, make_capture, wait_until):
    """A stream whose read hangs must not stall the readers (a behaviour tree's tick reads
    without waiting) because a seek is pending on the same source."""
    gate = threading.Event()
    source = fake(frames=None, count=100.0,
                  hook=lambda s: gate.wait(0.8) and None if len(s.reads) == 3 else None)
    cap = make_capture()
    cap.start()
    try:
        assert wait_until(lambda: len(source.instances[0].reads) == 3)
        seeker = threading.Thread(target=cap.seek, args=(5,), daemon=True)
        seeker.start()
        time.sleep(0.1)
        t0 = time.monotonic()
        cap.get_frame()
        assert time.monotonic() - t0 < 0.3
    finally:
        gate.set()
        seeker.join(3.0)
