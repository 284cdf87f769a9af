"""A stateful model of ParallVideoCapture, driven by Hypothesis on a real clip.

Run as a script in a child interpreter (a hang must not take the test runner with it):

    capture_model.py CLIP FRAMES EXAMPLES STEPS READERS

The main thread applies start, stop, pause, resume, seek, get_frame and
get_frame_with_number in the orders Hypothesis draws, while READERS background threads
call get_frame_with_number (and get_frame) all the time. Every call must return within a
bound, and every (number, frame) pair must fit the numbering rules:

* the clip's frames encode their index i; a pair's number n is i + d for an offset d that
  some event made valid: 1 for the worker's own count from a fresh or re-opened source,
  0 after a seek, (number at the restart) + 1 after stop and start;
* n is 0 with the frame that was current when a re-open reset the count: the clip's last
  frame, or a frame a seek had just published;
* between two observations of the main thread with no seek, start, stop or re-open in
  between (a re-open shows as a new source object), the number does not go down and the
  offset stays the same: numbers rise by one per frame. An observation numbered 0 starts
  no such sequence: it may be a re-open's reset, already on the new source;
* once a frame was seen, there is always one;
* while paused nothing is published, except by the one pass that may have been under way
  when pause() returned.

On success one JSON line of totals is printed; a broken rule fails the run (status 1).
"""
import faulthandler
import functools
import json
import sys
import threading
import time
import traceback

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, invariant, rule,
                                 run_state_machine_as_test)

import corvane.plugins.video.capture as mod
from clips import frame_index

CALL_BOUND_S = 2.0      # any call but stop
STOP_BOUND_S = 2.5      # stop waits at most 1 s for the worker, then releases
HANG_BOUND_S = 20.0     # a step that takes this long is a hang: dump every stack and exit

TOTALS = dict(examples=0, steps=0, main_pairs=0, reader_pairs=0, reloads=0, seeks=0,
              seeks_met_reopen=0, restarts=0, pauses=0, paused_checks=0, sequence_checks=0)
TOTALS_MUTEX = threading.Lock()
# The first broken rule, with the steps of its example: a failure that depends on timing
# may not come back when Hypothesis replays the example, so it is kept as it happened.
FIRST_FAILURE = []


def add_total(key, amount=1):
    with TOTALS_MUTEX:
        TOTALS[key] += amount


def recorded(step):
    """Log the step on the machine; keep the first failure with the steps that led to it."""

    @functools.wraps(step)
    def run(self, **args):
        self.steps.append(step.__name__ + "(" + ", ".join(f"{k}={v!r}" for k, v in args.items()) + ")")
        try:
            return step(self, **args)
        except BaseException:
            if not FIRST_FAILURE:
                FIRST_FAILURE.append("\n".join(["steps:"] + self.steps + [traceback.format_exc()]))
            raise
    return run


class Tally:
    """Takes the logger's place; counts re-opens and keeps errors."""

    def __init__(self):
        self.mutex = threading.Lock()
        self.reloads = 0
        self.last_reload_at = float("-inf")
        self.errors = []

    def info(self, text):
        if text.startswith(("正在重新加载视频: ", "发生错误，正在重新加载视频: ")):
            with self.mutex:
                self.reloads += 1
                self.last_reload_at = time.monotonic()

    def warning(self, text):
        pass

    def error(self, text):
        with self.mutex:
            self.errors.append(text)


def timed(call, *args, bound=CALL_BOUND_S):
    t0 = time.monotonic()
    result = call(*args)
    elapsed = time.monotonic() - t0
    assert elapsed < bound, f"{call.__name__}{args} took {elapsed:.3f} s"
    return result


class Readers:
    """Background threads that read pairs and check each one."""

    def __init__(self, machine, count):
        self.machine = machine
        self.done = threading.Event()
        self.violations = []
        self.threads = [threading.Thread(target=self.run, args=(i,), daemon=True)
                        for i in range(count)]
        for t in self.threads:
            t.start()

    def run(self, which):
        m = self.machine
        turn = 0
        while not self.done.is_set():
            turn += 1
            try:
                if which == 1 and turn % 4 == 0:
                    seen_before = m.frame_seen
                    frame = timed(m.cap.get_frame, True, 0.02)
                    if frame is None and seen_before:
                        self.violations.append("get_frame: the frame vanished")
                else:
                    m.check_pair(*m.observe(), origin=f"reader {which}")
                    add_total("reader_pairs")
            except BaseException as exc:          # noqa: B902 - reported by the main thread
                self.violations.append(f"reader {which}: {exc!r}")
                return
            time.sleep(0.001)

    def stop(self):
        self.done.set()
        for t in self.threads:
            t.join(CALL_BOUND_S + 1)
            assert not t.is_alive(), "a reader is stuck"


class CaptureMachine(RuleBasedStateMachine):
    CLIP = None
    FRAMES = 0
    READERS = 0

    def __init__(self):
        super().__init__()
        self.tally = mod.logger = Tally()
        self.cap = mod.ParallVideoCapture(self.CLIP)
        self.last_index = self.FRAMES - 1
        self.running = False
        self.paused = False
        self.offsets = {1}
        self.seek_targets = set()
        self.frame_seen = False
        self.epoch = 0
        self.stale_number = None      # after a restart: the number of the previous run's frame
        self.previous = None          # (number, index, epoch, source before) of the main thread
        self.paused_numbers = None    # numbers allowed while paused
        self.paused_base = None       # the number when pausing (or of a seek while paused)
        self.pass_pending = False     # the pass under way at pause() has not shown yet
        self.steps = []
        self.readers = Readers(self, self.READERS)
        add_total("examples")

    # --- observation ------------------------------------------------------------------

    def observe(self):
        seen_before = self.frame_seen
        number, frame = timed(self.cap.get_frame_with_number)
        return seen_before, number, frame

    def check_pair(self, seen_before, number, frame, origin):
        if frame is None:
            assert number is None, f"{origin}: number {number} without a frame"
            assert not seen_before, f"{origin}: the frame vanished"
            return None
        self.frame_seen = True
        index = frame_index(frame)
        assert 0 <= index <= self.last_index, f"{origin}: frame index {index}"
        fits = number - index in self.offsets or (
            number == 0 and (index == self.last_index or index in self.seek_targets))
        assert fits, (f"{origin}: number {number} with frame {index}; offsets {sorted(self.offsets)}, "
                      f"seeks {sorted(self.seek_targets)}")
        return index

    # --- rules ------------------------------------------------------------------------

    @rule()
    @recorded
    def start(self):
        was_running = self.running
        worker = self.cap.thread
        if not was_running:
            self.stale_number = self.cap.current_frame_number
            self.offsets.add(self.stale_number + 1)
            self.epoch += 1
        assert timed(self.cap.start) is True
        if was_running:
            assert self.cap.thread is worker
        else:
            add_total("restarts")
            self.running = True
            if self.paused:                           # a paused capture starts paused
                self.paused_base = self.cap.current_frame_number
                self.paused_numbers = {self.paused_base}
                self.pass_pending = False

    @rule()
    @recorded
    def stop(self):
        self.epoch += 1
        self.stale_number = None
        assert timed(self.cap.stop, bound=STOP_BOUND_S) is None
        self.running = False
        if self.cap.thread is not None:
            assert not self.cap.thread.is_alive(), "the worker outlived stop"
        assert self.cap.cap is None

    @rule()
    @recorded
    def pause(self):
        assert timed(self.cap.pause) is None
        if self.running and not self.paused:
            now = self.paused_base = self.cap.current_frame_number
            self.paused = True
            self.paused_numbers = {now, now + 1, 0}
            self.pass_pending = True
            add_total("pauses")

    @rule()
    @recorded
    def resume(self):
        assert timed(self.cap.resume) is None
        if self.running:
            self.paused = False

    @rule(frame_number=st.integers(min_value=-2, max_value=16))
    @recorded
    def seek(self, frame_number):
        target = frame_number
        accepted = self.running and 0 <= target <= self.last_index
        if accepted:
            self.seek_targets.add(target)
            self.offsets.add(0)
            self.epoch += 1
            self.stale_number = None
        began = time.monotonic()
        result = timed(self.cap.seek, target)
        failure = f"跳转到帧 {target} 失败"
        if accepted and result is False and failure in self.tally.errors:
            # The re-open releases the old source before it installs the new one; a seek
            # in between reads from the released source and fails with its line.
            assert self.tally.last_reload_at > began - 0.5, "seek failed with no re-open near"
            self.tally.errors.remove(failure)
            add_total("seeks_met_reopen")
            return
        assert result is accepted
        if accepted:
            add_total("seeks")
            if self.paused:
                # Published at once. The pass under way at pause() may still publish the
                # next frame (its read comes after the seek) or re-open (number 0).
                allowed = {target, target + 1, 0} if self.pass_pending else {target}
                number, frame = self.cap.get_frame_with_number()
                assert number in allowed and frame_index(frame) in (target, number), (
                    f"seek to {target} while paused gave {(number, frame_index(frame))}")
                self.paused_base = target
                self.paused_numbers = allowed

    @rule(wait=st.booleans(), timeout=st.floats(min_value=0, max_value=0.05))
    @recorded
    def get_frame(self, wait, timeout):
        seen_before = self.frame_seen
        frame = timed(self.cap.get_frame, wait, timeout)
        assert frame is not None or not seen_before, "the frame vanished"
        if frame is not None:
            self.frame_seen = True

    @rule()
    @recorded
    def get_frame_with_number(self):
        source_before = self.cap.cap
        seen_before, number, frame = self.observe()
        source_after = self.cap.cap
        index = self.check_pair(seen_before, number, frame, "main")
        add_total("main_pairs")
        if index is None:
            return
        if self.running and self.paused:
            assert number in self.paused_numbers, (
                f"published while paused: {number}, allowed {sorted(self.paused_numbers)}")
            if self.pass_pending and number != self.paused_base:   # that pass has shown
                self.paused_numbers, self.pass_pending = {number}, False
            add_total("paused_checks")
        prev = self.previous
        if (prev is not None and prev[2] == self.epoch and prev[3] is source_after
                and prev[0] not in (self.stale_number, 0)):
            # No seek, start or stop since the previous observation, which was not the frame
            # a restart found, and no re-open: it installs a new source and resets the
            # number in one step, and the source objects are kept, so identity tells. A
            # number 0 may be that reset itself, seen on the new source while the frame is
            # still the last one of the old (0 with frame 11, then 1 with frame 0): it
            # anchors no sequence.
            assert number >= prev[0] and number - index == prev[0] - prev[1], (
                f"numbering broke: {prev[:2]} then {(number, index)}")
            add_total("sequence_checks")
        self.previous = (number, index, self.epoch, source_before)

    @rule(seconds=st.floats(min_value=0, max_value=0.05))
    @recorded
    def idle(self, seconds):
        time.sleep(seconds)

    # --- invariants and teardown --------------------------------------------------------

    @invariant()
    @recorded
    def flags_match_the_model(self):
        faulthandler.dump_traceback_later(HANG_BOUND_S, exit=True)
        add_total("steps")
        assert self.cap.is_running() is self.running
        assert self.cap.is_paused() is self.paused
        assert self.readers.violations == [], self.readers.violations

    @recorded
    def teardown(self):
        self.readers.stop()
        timed(self.cap.stop, bound=STOP_BOUND_S)
        add_total("reloads", self.tally.reloads)
        assert self.readers.violations == [], self.readers.violations
        unexpected = [t for t in self.tally.errors if t != "视频未运行，无法跳转"
                      and not (t.startswith("帧号 ") and "超出范围" in t)]
        assert unexpected == [], unexpected
        faulthandler.cancel_dump_traceback_later()


def main(clip, frames, examples, steps, readers):
    CaptureMachine.CLIP, CaptureMachine.FRAMES, CaptureMachine.READERS = clip, frames, readers
    faulthandler.dump_traceback_later(HANG_BOUND_S, exit=True)
    try:
        run_state_machine_as_test(CaptureMachine, settings=settings(
            max_examples=examples, stateful_step_count=steps, deadline=None, database=None,
            suppress_health_check=list(HealthCheck)))
    except BaseException:
        if FIRST_FAILURE:
            print("FIRST FAILURE\n" + FIRST_FAILURE[0], file=sys.stderr)
        raise
    faulthandler.cancel_dump_traceback_later()
    print(json.dumps(TOTALS))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
