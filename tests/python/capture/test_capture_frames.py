"""get_frame, get_frame_with_number and get_video_info."""
import threading
import time

import numpy as np
import pytest

from clips import frame_index

INFO_KEYS = ["width", "height", "fps", "frame_count", "duration", "is_running", "is_paused",
             "current_frame"]


class Image:
    """A frame object that is not an array: copies are made with its own copy(), and its
    truth value must never be asked."""

    def __init__(self, index, copy_error=None):
        self.index, self.copy_error, self.is_copy = index, copy_error, False

    def copy(self):
        if self.copy_error:
            raise self.copy_error
        duplicate = Image(self.index)
        duplicate.is_copy = True
        return duplicate

    def __bool__(self):
        raise AssertionError("the truth value of a frame was asked")

    __len__ = __bool__


def one_frame_source(fake, gate, **config):
    """A source that publishes frame 0 and then blocks in its next read until `gate`."""
    return fake(frames=None, hook=lambda s: gate.wait(5.0) and None if s.pos >= 1 else None,
                **config)


def test_before_any_frame(capture_module):
    cap = capture_module.ParallVideoCapture("fake://source")
    assert cap.get_frame() is None
    pair = cap.get_frame_with_number()
    assert type(pair) is tuple and pair == (None, None)
    info = cap.get_video_info()
    assert list(info) == INFO_KEYS
    assert info == {"width": 0, "height": 0, "fps": 0, "frame_count": 0, "duration": 0,
                    "is_running": False, "is_paused": False, "current_frame": 0}
    assert [type(v) for v in info.values()] == [int] * 5 + [bool] * 2 + [int]
    assert info is not cap.get_video_info()


def test_video_info_follows_the_state(fake, make_capture, wait_until):
    fake(frames=None, fps=25.0, count=250.0, width=640.0, height=480.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.1)
    info = cap.get_video_info()
    assert list(info) == INFO_KEYS
    assert info == {"width": 640, "height": 480, "fps": 25.0, "frame_count": 250, "duration": 10.0,
                    "is_running": True, "is_paused": True, "current_frame": cap.current_frame_number}
    cap.stop()
    after = cap.get_video_info()
    assert after == dict(info, is_running=False)


def test_two_waiting_calls_after_one_publication(fake, make_capture, wait_until):
    gate = threading.Event()
    one_frame_source(fake, gate)
    cap = make_capture()
    try:
        cap.start()
        assert wait_until(cap.frame_ready.is_set)
        t0 = time.monotonic()
        first = cap.get_frame(True, 0.5)
        assert time.monotonic() - t0 < 0.2 and frame_index(first) == 0
        assert not cap.frame_ready.is_set()
        t0 = time.monotonic()
        second = cap.get_frame(True, 0.5)
        assert 0.45 <= time.monotonic() - t0 < 1.0
        assert frame_index(second) == 0 and not cap.frame_ready.is_set()
        assert cap.get_frame(False, 5.0) is not None       # no waiting, no clearing
    finally:
        gate.set()


def test_waiting_call_wakes_on_the_next_publication(fake, make_capture, wait_until):
    fake(frames=None, fps=4.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number == 1)
    cap.frame_ready.clear()
    t0 = time.monotonic()
    frame = cap.get_frame(wait_for_frame=True, timeout=2.0)
    assert 0.1 <= time.monotonic() - t0 < 0.5
    assert frame_index(frame) == 1 and not cap.frame_ready.is_set()


@pytest.mark.parametrize("flag, waits", [("yes", True), ([0], True), (0, False), ("", False),
                                         (None, False)])
def test_wait_flag_is_used_for_its_truth_value(capture_module, flag, waits):
    cap = capture_module.ParallVideoCapture("fake://source")
    t0 = time.monotonic()
    assert cap.get_frame(flag, 0.15) is None
    assert (time.monotonic() - t0 >= 0.12) is waits


@pytest.mark.parametrize("timeout", [1, 0, 0.0])
def test_integer_and_zero_timeouts(fake, make_capture, wait_until, timeout):
    gate = threading.Event()
    one_frame_source(fake, gate)
    cap = make_capture()
    try:
        cap.start()
        assert wait_until(cap.frame_ready.is_set)
        assert frame_index(cap.get_frame(True, timeout)) == 0
        assert frame_index(cap.get_frame(False, timeout)) == 0
    finally:
        gate.set()


@pytest.mark.parametrize("timeout", [None, "0.1", [0.1]])
@pytest.mark.parametrize("wait", [False, True])
def test_unconvertible_timeout_fails_before_anything_else(fake, make_capture, wait_until,
                                                          timeout, wait):
    copies = []

    class Counted(Image):
        def copy(self):
            copies.append(self.index)
            return super().copy()

    fake(frames=None, fps=100.0, hook=lambda s: (True, Counted(0)))
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 1)
    cap.pause()
    time.sleep(0.05)
    cap.frame_ready.set()
    with pytest.raises(TypeError):
        cap.get_frame(wait, timeout)
    assert copies == [] and cap.frame_ready.is_set() and not cap.lock.locked()


def test_frames_are_independent_copies(make_capture, clip25, wait_until):
    cap = make_capture(clip25)
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.1)
    a = cap.get_frame()
    number, b = cap.get_frame_with_number()
    assert isinstance(a, np.ndarray) and a.shape == (120, 160, 3) and a.dtype == np.uint8
    assert frame_index(a) == frame_index(b) == number - 1
    assert not np.shares_memory(a, b)
    assert not np.shares_memory(a, np.asarray(cap.frame))
    a[:] = 77
    b[:] = 77
    c = cap.get_frame()
    assert frame_index(c) == number - 1 and not (c == 77).all()


def test_python_frames_are_stored_as_read_and_copied_with_their_own_copy(fake, make_capture,
                                                                         wait_until):
    returned = []

    def script(source):
        image = Image(int(source.pos))
        source.pos += 1
        returned.append(image)
        return True, image

    fake(frames=None, fps=50.0, hook=script)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.pause()
    time.sleep(0.1)
    stored = cap.frame
    assert stored is returned[-1] and not stored.is_copy
    copy = cap.get_frame(True, 0.01)
    assert isinstance(copy, Image) and copy.is_copy and copy.index == stored.index
    number, copy = cap.get_frame_with_number()
    assert copy.is_copy and number == stored.index + 1


def test_error_of_the_copy_reaches_the_caller_and_frees_the_lock(fake, make_capture, wait_until):
    fake(frames=None, hook=lambda s: (True, Image(0, ValueError("copy failed"))))
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 1)
    for call in (cap.get_frame, cap.get_frame_with_number):
        with pytest.raises(ValueError, match="copy failed"):
            call()
        assert not cap.lock.locked()


def test_pairs_belong_to_one_publication(make_capture, clip200):
    cap = make_capture(clip200)
    cap.start()
    pairs = set()
    # Enough publications to catch a torn pair; a loaded machine just takes longer to see them.
    deadline = time.monotonic() + 10
    while len(pairs) <= 50 and time.monotonic() < deadline:
        number, frame = cap.get_frame_with_number()
        if frame is not None:
            pairs.add((number, frame_index(frame)))
    assert len({n for n, _ in pairs}) > 50
    assert all(n == i + 1 for n, i in pairs), [p for p in pairs if p[0] != p[1] + 1][:5]


def test_after_stop_the_last_frame_stays(make_capture, clip25, wait_until):
    cap = make_capture(clip25)
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 2)
    cap.stop()
    number, frame = cap.get_frame_with_number()
    assert number == frame_index(frame) + 1
    again_number, again = cap.get_frame_with_number()
    assert again_number == number and (again == frame).all()
    assert frame_index(cap.get_frame()) == frame_index(frame)
