"""The worker loop: numbering, end of stream, re-opening, errors of a pass, pacing."""
import math
import os
import statistics
import threading
import time

import pytest

import clips
from clips import frame_index

PATH = "fake://source"
RELOAD = "正在重新加载视频: " + PATH + "..."
RELOAD_AFTER_ERROR = "发生错误，正在重新加载视频: " + PATH + "..."
END = ("warning", "视频读取结束或出错")


def consistent(pair):
    number, frame = pair
    return frame is not None and number == frame_index(frame) + 1


def test_first_frame_at_once_then_paced_and_numbered_from_one(fake, make_capture, wait_until):
    fake(frames=None, fps=5.0)
    cap = make_capture()
    t0 = time.monotonic()
    cap.start()
    assert wait_until(lambda: cap.get_frame_with_number()[0] is not None, 1.0)
    assert time.monotonic() - t0 < 0.15
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (1, 0)
    t1 = time.monotonic()
    assert wait_until(lambda: cap.current_frame_number == 2, 1.0)
    assert 0.15 <= time.monotonic() - t1 < 0.5
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (2, 1)


@pytest.mark.parametrize("auto_reload", [False, 0, ""])
def test_end_of_stream_without_reload_ends_the_worker(fake, make_capture, log, wait_until,
                                                      auto_reload):
    source = fake(frames=3)
    cap = make_capture(auto_reload=auto_reload)
    cap.start()
    assert wait_until(lambda: not cap.is_running())
    cap.thread.join(1.0)
    assert not cap.thread.is_alive()
    assert log.lines[1:] == [END]
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (3, 2)
    assert cap.cap is source.instances[0] and source.instances[0].released == 0
    assert len(source.instances) == 1


def test_end_of_stream_on_a_clip_without_reload(make_capture, clip_short, log, wait_until):
    cap = make_capture(clip_short, auto_reload=False)
    cap.start()
    assert wait_until(lambda: not cap.is_running())
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (12, 11)
    assert log.lines[1:] == [END]


def test_reopen_at_end_of_stream_renumbers_from_one(fake, make_capture, log, wait_until):
    gate = threading.Event()

    def script(source):
        if source.index == 0 and source.pos >= 3:
            return False, None
        if source.index == 1 and source.pos == 0:
            gate.wait(5.0)
        return None

    source = fake(frames=None, hook=script)
    cap = make_capture()
    try:
        cap.start()
        assert wait_until(lambda: len(source.instances) == 2 and source.instances[1].reads)
        # The re-open has reset the number; the frame is still the last of the first run.
        number, frame = cap.get_frame_with_number()
        assert (number, frame_index(frame)) == (0, 2)
        assert cap.get_video_info()["current_frame"] == 0
        assert log.lines[1:] == [END, ("info", RELOAD)]
        assert source.instances[0].released == 1 and cap.cap is source.instances[1]
    finally:
        gate.set()
    assert wait_until(lambda: cap.current_frame_number >= 1)
    assert consistent(cap.get_frame_with_number())


def test_a_clip_loops_with_reload(make_capture, clip_short, log):
    cap = make_capture(clip_short)
    cap.start()
    pairs = []
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        number, frame = cap.get_frame_with_number()
        if frame is not None:
            pairs.append((number, frame_index(frame)))
        time.sleep(0.002)
    assert all(n == i + 1 or (n, i) == (0, 11) for n, i in pairs), pairs
    assert any(b[0] < a[0] for a, b in zip(pairs, pairs[1:]))      # wrapped at least once
    reloads = log.texts("info").count("正在重新加载视频: " + clip_short + "...")
    assert reloads >= 2 and log.texts("warning") == ["视频读取结束或出错"] * reloads


def test_failed_reopen_after_end_of_stream(fake, make_capture, log, wait_until):
    source = fake(frames=2, opens=lambda s: s.index == 0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: not cap.is_running())
    assert log.lines[1:] == [END, ("info", RELOAD), ("error", "视频重新加载失败: " + PATH)]
    first, second = source.instances
    assert first.released == 1 and second.released == 0 and cap.cap is second
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (2, 1)


def test_failed_reopen_of_a_deleted_clip(make_capture, tmp_path, log, wait_until):
    path = clips.write_clip(tmp_path / "gone.mkv", frames=15, fps=100.0)
    cap = make_capture(path)
    cap.start()
    os.remove(path)
    assert wait_until(lambda: not cap.is_running())
    assert log.lines[1:] == [END, ("info", "正在重新加载视频: " + path + "..."),
                             ("error", "视频重新加载失败: " + path)]
    assert cap.cap is not None and not cap.cap.isOpened()


@pytest.mark.parametrize("result, text", [
    (RuntimeError("decoder fault"), "decoder fault"),
    (1, None),                          # not a pair
    ((True, clips.make_frame(9, 32, 32), 1), None),
])
@pytest.mark.parametrize("auto_reload", [True, False])
def test_error_in_a_pass(fake, make_capture, log, wait_until, result, text, auto_reload):
    def script(source):
        if source.index == 0 and source.pos == 2:
            if isinstance(result, Exception):
                raise result
            return result
        return None

    source = fake(frames=None, fps=200.0, hook=script)
    cap = make_capture(auto_reload=auto_reload)
    cap.start()
    if auto_reload:     # a read of the new source comes after the reset of the number
        assert wait_until(lambda: len(source.instances) == 2 and source.instances[1].reads
                          and cap.current_frame_number >= 1)
    else:
        assert wait_until(lambda: not cap.is_running())
    (level, message), = log.lines[1:2]
    assert level == "error" and message.startswith("视频捕获过程中发生错误: ")
    if text is not None:
        assert message == "视频捕获过程中发生错误: " + text
    if auto_reload:
        assert log.lines[2] == ("info", RELOAD_AFTER_ERROR)
        assert source.instances[0].released == 1
        assert consistent(cap.get_frame_with_number())
    else:
        assert log.lines[2:] == [] and len(source.instances) == 1
        assert source.instances[0].released == 0
    assert END not in log.lines


def _raise(message):
    raise RuntimeError(message)


@pytest.mark.parametrize("where", ["release", "create", "isOpened", "not_open"])
def test_reopen_after_an_error(fake, make_capture, log, wait_until, where):
    config = {"hook": lambda s: _raise("read fault") if s.index == 0 else None}
    if where == "release":
        config["release_hook"] = lambda s: _raise("release fault")
    elif where == "create":
        config["create_hook"] = lambda i: _raise("create fault") if i else None
    elif where == "isOpened":
        config["opens"] = lambda s: s.index == 0 or _raise("isOpened fault")
    else:
        config["opens"] = lambda s: s.index == 0
    source = fake(frames=None, **config)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: not cap.is_running())
    source.release_hook = None
    last = ("error", "视频重新加载失败: " + PATH) if where == "not_open" else \
        ("error", "重新加载视频时发生错误: " + where + " fault")
    assert log.lines[1:] == [("error", "视频捕获过程中发生错误: read fault"),
                             ("info", RELOAD_AFTER_ERROR), last]


def test_recurring_fault_reopens_on_every_pass(fake, make_capture, log):
    source = fake(frames=None, hook=lambda s: _raise("bad stream"))
    cap = make_capture()
    cap.start()
    time.sleep(0.3)
    assert len(source.instances) >= 10
    t0 = time.monotonic()
    cap.stop()
    assert time.monotonic() - t0 < 1.5 and not cap.thread.is_alive()
    lines = log.lines[1:]
    assert lines[:4] == [("error", "视频捕获过程中发生错误: bad stream"), ("info", RELOAD_AFTER_ERROR)] * 2
    assert cap.get_frame() is None


def test_stop_during_the_pacing_sleep_lets_the_pass_finish(fake, make_capture, wait_until):
    """stop cuts the wait short; the pass reads and publishes before stop returns."""
    source = fake(frames=None, fps=2.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number == 1)
    time.sleep(0.1)
    t0 = time.monotonic()
    cap.stop()
    assert time.monotonic() - t0 < 0.3
    assert cap.current_frame_number == 2 and len(source.instances[0].reads) == 2
    assert source.instances[0].released == 1


@pytest.mark.parametrize("read_ok", [True, False])
def test_stop_that_gives_up_waiting_for_a_read_leaves_no_lines(fake, make_capture, log,
                                                               wait_until, read_ok):
    """A read outlasts stop's 1 s wait. When it returns, the release stop asked for is
    made; a frame it read is published, a failure is none of the capture's: nothing is
    logged or re-opened after stop."""
    def slow_second_read(s):
        if len(s.reads) == 2:
            time.sleep(1.3)
            return None if read_ok else (False, None)
    source = fake(frames=None, fps=100.0, hook=slow_second_read)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: len(source.instances[0].reads) == 2)
    t0 = time.monotonic()
    cap.stop()
    assert 0.9 <= time.monotonic() - t0 < 1.5
    assert cap.cap is None and source.instances[0].released == 0
    worker = cap.thread
    worker.join(2.0)
    assert not worker.is_alive() and cap.is_running() is False
    assert source.instances[0].released == 1 and log.lines[1:] == []
    assert len(source.instances) == 1 and cap.current_frame_number == (2 if read_ok else 1)


@pytest.mark.parametrize("fps, read_delay, spacing", [
    (25.0, 0.0, 0.040),
    (10.0, 0.0, 0.100),
    (25.0, 0.02, 0.060),               # the read itself is not part of the interval
    (0.0, 0.0, 0.033),
    (-5.0, 0.0, 0.033),
    (math.nan, 0.0, 0.033),
])
def test_pacing_of_a_python_source(fake, make_capture, wait_until, fps, read_delay, spacing):
    count = 8 if spacing < 0.08 else 5
    source = fake(frames=None, fps=fps, read_delay=read_delay)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: len(source.instances[0].reads) > count, 3.0)
    cap.stop()
    starts = [t for t, _ in source.instances[0].reads[:count + 1]]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    assert 0.95 * spacing <= statistics.median(gaps) <= spacing + 0.005, gaps
    assert statistics.mean(gaps) <= spacing + 0.02, gaps


def test_pacing_of_a_clip(make_capture, clip25):
    cap = make_capture(clip25)
    cap.start()
    stamps = []
    while len(stamps) < 9:
        assert cap.get_frame(True, 1.0) is not None
        stamps.append(time.monotonic())
    gaps = [b - a for a, b in zip(stamps[1:], stamps[2:])]       # the first may be early
    assert 0.037 <= statistics.median(gaps) <= 0.047, gaps
