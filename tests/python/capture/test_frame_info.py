"""get_frame_with_info and FrameInfo: each frame with its number, publication time and
stream position."""
import threading
import time
from fractions import Fraction

import pytest

from clips import frame_index


def started_and_paused(cap, wait_until):
    """`cap` started, paused after two frames, and settled."""
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.1)
    return cap


def test_waits_and_copies_as_get_frame_does(capture_module, fake, make_capture, wait_until):
    cap = capture_module.ParallVideoCapture("fake://source")
    t0 = time.monotonic()
    assert cap.get_frame_with_info(True, 0.15) == (None, None)
    assert time.monotonic() - t0 >= 0.12
    gate = threading.Event()
    fake(frames=None, hook=lambda s: gate.wait(5.0) and None if s.pos >= 1 else None)
    cap = make_capture()
    try:
        cap.start()
        assert wait_until(cap.frame_ready.is_set)
        t0 = time.monotonic()
        info, frame = cap.get_frame_with_info(wait_for_frame=True, timeout=0.5)
        assert time.monotonic() - t0 < 0.2 and not cap.frame_ready.is_set()
        assert type(info) is capture_module.FrameInfo and frame_index(frame) == 0
        # The same event: get_frame finds nothing new and waits its whole timeout.
        t0 = time.monotonic()
        assert frame_index(cap.get_frame(True, 0.3)) == 0
        assert time.monotonic() - t0 >= 0.28
        frame[:] = 255
        assert frame_index(cap.get_frame_with_info()[1]) == 0
        cap.frame_ready.set()
        with pytest.raises(TypeError):
            cap.get_frame_with_info(False, None)
        assert cap.frame_ready.is_set() and not cap.lock.locked()
    finally:
        gate.set()


@pytest.mark.parametrize("clip, seconds", [("clip200", 0.6), ("clip_short", 0.5)])
def test_info_belongs_to_its_frame(request, capture_module, make_capture, clip, seconds):
    # clip_short loops: a re-open starts numbers and positions again.
    path = request.getfixturevalue(clip)
    frame_msec = {"clip200": 5.0, "clip_short": 10.0}[clip]
    cap = make_capture(path)
    cap.start()
    seen = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        info, frame = cap.get_frame_with_info(True, 0.5)
        now = time.monotonic()
        assert isinstance(info, tuple) and info._fields == ("number", "monotonic", "pos_msec")
        index = frame_index(frame)
        assert type(info.number) is int and info.number == index + 1
        assert info.pos_msec == pytest.approx(index * frame_msec, abs=0.5)
        assert now - 0.5 < info.monotonic <= now
        seen.append(info.number)
    assert len(set(seen)) > 10
    restarts = sum(1 for a, b in zip(seen, seen[1:]) if b < a)
    assert restarts >= (1 if clip == "clip_short" else 0)


def test_age_grows_while_paused(make_capture, clip25, wait_until):
    cap = started_and_paused(make_capture(clip25), wait_until)
    first, frame = cap.get_frame_with_info()
    age = time.monotonic() - first.monotonic
    time.sleep(0.3)
    again, _ = cap.get_frame_with_info()
    assert again == first and first.number == frame_index(frame) + 1
    assert 0.0 <= age < 0.5
    assert 0.28 <= (time.monotonic() - again.monotonic) - age < 1.0


def test_a_seek_carries_its_time_and_position(make_capture, clip25, wait_until):
    cap = started_and_paused(make_capture(clip25), wait_until)
    cap.frame_ready.clear()
    before = time.monotonic()
    assert cap.seek(10)
    after = time.monotonic()
    info, frame = cap.get_frame_with_info()
    assert frame_index(frame) == 10 and info.number == 10 and type(info.number) is int
    assert before <= info.monotonic <= after
    assert info.pos_msec == pytest.approx(400.0, abs=0.5)
    cap.resume()
    info, frame = cap.get_frame_with_info(True, 1.0)
    assert (info.number, frame_index(frame)) == (11, 11)
    assert info.pos_msec == pytest.approx(440.0, abs=0.5) and info.monotonic > after


def test_python_source_has_no_position_and_numbers_keep_their_kind(fake, make_capture,
                                                                    wait_until):
    fake(frames=None, fps=50.0, count=100.0)
    cap = started_and_paused(make_capture(), wait_until)
    info, frame = cap.get_frame_with_info()
    assert info.pos_msec is None and info.number == frame_index(frame) + 1
    assert cap.seek(Fraction(5))
    info, frame = cap.get_frame_with_info()
    assert type(info.number) is Fraction and info.number == 5 and frame_index(frame) == 5
    # A count assigned later is where the next frame counts on from, not this frame's.
    cap.current_frame_number = 40
    assert cap.get_frame_with_info()[0] == info
