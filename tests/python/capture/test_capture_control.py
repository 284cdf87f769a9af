"""pause, resume and seek."""
import time
from fractions import Fraction

import pytest

from clips import frame_index
from capture_support import POS_FRAMES

PAUSED = ("info", "视频捕获已暂停")
RESUMED = ("info", "视频捕获已恢复")
NOT_RUNNING = ("error", "视频未运行，无法跳转")


def paused_capture(fake, make_capture, wait_until, **config):
    """A running capture on a fake source, paused after a few frames, with the log cleared."""
    config.setdefault("frames", None)
    source = fake(**config)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 3)
    cap.pause()
    time.sleep(0.05)
    cap.frame_ready.clear()
    return cap, source


def test_pause_and_resume_log_once_each(fake, make_capture, log, wait_until):
    fake(frames=None)
    cap = make_capture()
    cap.start()
    cap.pause()
    assert cap.is_paused() is True and cap.paused is True
    cap.pause()
    assert cap.resume() is None and cap.is_paused() is False
    cap.resume()
    assert log.lines[1:] == [PAUSED, RESUMED]


def test_pause_and_resume_do_nothing_unless_running(fake, make_capture, log, wait_until):
    fake(frames=None)
    cap = make_capture()
    assert cap.pause() is None
    cap.resume()
    assert cap.is_paused() is False and log.lines == []
    cap.start()
    cap.stop()
    log.clear()
    cap.pause()
    assert cap.is_paused() is False
    cap.start()
    cap.pause()
    cap.stop()
    cap.resume()
    assert cap.is_paused() is True and log.lines[-1] == PAUSED


def test_pause_stops_publication_within_a_frame(fake, make_capture, wait_until):
    source = fake(frames=None, fps=25.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 3)
    cap.pause()
    number, reads = cap.current_frame_number, len(source.instances[0].reads)
    time.sleep(0.1)
    assert cap.current_frame_number <= number + 1
    assert len(source.instances[0].reads) <= reads + 1
    cap.frame_ready.clear()
    settled = cap.get_frame_with_number()
    time.sleep(0.25)
    assert not cap.frame_ready.is_set()
    after = cap.get_frame_with_number()
    assert after[0] == settled[0] and frame_index(after[1]) == frame_index(settled[1])
    cap.resume()
    assert wait_until(lambda: cap.current_frame_number > settled[0], 0.5)


def test_resume_after_a_long_pause_reads_without_pacing_delay(fake, make_capture, wait_until):
    fake(frames=None, fps=4.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number == 1)
    cap.pause()
    time.sleep(0.6)
    number = cap.current_frame_number
    t0 = time.monotonic()
    cap.resume()
    assert wait_until(lambda: cap.current_frame_number > number, 1.0)
    assert time.monotonic() - t0 < 0.2


def test_a_paused_capture_stays_paused_across_stop_and_start(fake, make_capture, log, wait_until):
    source = fake(frames=None, fps=100.0)
    cap = make_capture()
    cap.start()
    cap.pause()
    cap.stop()
    number = cap.current_frame_number
    assert cap.start() is True
    assert cap.is_running() and cap.is_paused()
    time.sleep(0.25)
    assert source.instances[1].reads == [] and cap.current_frame_number == number
    cap.resume()
    assert log.lines[-1] == RESUMED
    assert wait_until(lambda: cap.current_frame_number > number)


@pytest.mark.parametrize("state", ["created", "stopped", "open_failed", "ended"])
def test_seek_needs_a_running_capture(fake, make_capture, log, wait_until, state):
    fake(frames=2, opens=state != "open_failed")
    cap = make_capture(auto_reload=False)
    if state != "created":
        cap.start()
    if state == "stopped":
        cap.stop()
    if state == "ended":
        assert wait_until(lambda: not cap.is_running())
    log.clear()
    assert cap.seek(1) is False
    assert log.lines == [NOT_RUNNING]


@pytest.mark.parametrize("count, target, message", [
    (300, 299, "已跳转到帧 299"),
    (300, 0, "已跳转到帧 0"),
    (300, 10.5, "已跳转到帧 10.5"),
    (300, 300, "帧号 300 超出范围 [0, 299]"),
    (300, -1, "帧号 -1 超出范围 [0, 299]"),
    (300, -0.5, "帧号 -0.5 超出范围 [0, 299]"),
    (0, 0, "帧号 0 超出范围 [0, -1]"),
    (1, 0, "已跳转到帧 0"),
    (300, Fraction(21, 2), "已跳转到帧 21/2"),
    (-2.0 ** 63, 0, "帧号 0 超出范围 [0, -9223372036854775809]"),
    (1e19, -1, "帧号 -1 超出范围 [0, 9999999999999999999]"),
])
def test_seek_range_and_messages(fake, make_capture, log, wait_until, count, target, message):
    cap, source = paused_capture(fake, make_capture, wait_until, count=float(count))
    before = cap.get_frame_with_number()
    log.clear()
    accepted = message.startswith("已跳转")
    assert cap.seek(target) is accepted
    assert log.lines == [("info" if accepted else "error", message)]
    number, frame = cap.get_frame_with_number()
    opened = source.instances[0]
    if accepted:
        assert number == target and type(number) is type(target)
        assert frame_index(frame) == int(target)
        assert opened.sets == [(POS_FRAMES, target)] and type(opened.sets[0][1]) is type(target)
        assert cap.is_paused() and not cap.frame_ready.is_set()
    else:
        assert number == before[0] and frame_index(frame) == frame_index(before[1])
        assert opened.sets == []


@pytest.mark.parametrize("target", ["5", None, [1]])
def test_uncomparable_target_raises_unlogged(fake, make_capture, log, wait_until, target):
    cap, source = paused_capture(fake, make_capture, wait_until, count=300.0)
    log.clear()
    with pytest.raises(TypeError):
        cap.seek(target)
    assert log.lines == [] and source.instances[0].sets == []


def _raise(message):
    raise RuntimeError(message)


@pytest.mark.parametrize("fault, message", [
    ("read_fails", "跳转到帧 260 失败"),
    ("set_raises", "跳转帧时发生错误: cannot position"),
    ("read_raises", "跳转帧时发生错误: cannot decode"),
    ("not_a_pair", None),
])
def test_seek_failures_keep_frame_and_number(fake, make_capture, log, wait_until, fault, message):
    cap, source = paused_capture(fake, make_capture, wait_until, count=300.0)
    hooks = {
        "read_fails": lambda s: (False, None),
        "read_raises": lambda s: _raise("cannot decode"),
        "not_a_pair": lambda s: (True,),
    }
    if fault == "set_raises":
        source.set_hook = lambda s, prop, value: _raise("cannot position")
    else:
        source.hook = hooks[fault]
    before = cap.get_frame_with_number()
    log.clear()
    assert cap.seek(260) is False
    (level, text), = log.lines
    assert level == "error"
    if message:
        assert text == message
    else:
        assert text.startswith("跳转帧时发生错误: ")
    assert not cap.lock.locked() and cap.is_running()
    number, frame = cap.get_frame_with_number()
    assert number == before[0] and frame_index(frame) == frame_index(before[1])
    source.hook = source.set_hook = None
    assert cap.seek(7) is True and cap.get_frame_with_number()[0] == 7


def test_seek_on_a_paused_clip_then_resume(make_capture, clip25, log, wait_until):
    cap = make_capture(clip25)
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.1)
    cap.frame_ready.clear()
    log.clear()
    assert cap.seek(20) is True
    assert log.lines == [("info", "已跳转到帧 20")]
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (20, 20)
    assert not cap.frame_ready.is_set() and cap.is_paused()
    time.sleep(0.1)
    assert cap.get_frame_with_number()[0] == 20
    cap.resume()
    deadline = time.monotonic() + 1.0
    while cap.get_frame_with_number()[0] == 20 and time.monotonic() < deadline:
        pass
    number, frame = cap.get_frame_with_number()
    assert (number, frame_index(frame)) == (21, 21)


def test_seeks_on_a_playing_clip_keep_pairs_consistent(make_capture, clip25, wait_until):
    cap = make_capture(clip25)
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 1)
    for target in (30, 5, 40, 12, 0, 25):
        assert cap.seek(target) is True
        deadline = time.monotonic() + 0.05
        while time.monotonic() < deadline:
            number, frame = cap.get_frame_with_number()
            assert number == frame_index(frame) and target <= number <= target + 3
