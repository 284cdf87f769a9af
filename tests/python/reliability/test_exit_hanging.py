"""Interpreter exit while the worker hangs in a call of a Python source: in a re-open, or
with the capture dropped by its owner (exit_scenarios.py). The worker is left behind; the
interpreter still ends with status 0, promptly, and nothing on stderr. And exit during a
native read that waits for data, after the program changed the timeouts."""
import pytest

from exit_scenarios import EXIT_BOUND_S, HANGING_WORKER, SILENT_STREAM, run_exit
from reliability_support import scaled

REPEAT = scaled(1, 5)


@pytest.mark.parametrize("name", sorted(HANGING_WORKER))
def test_exit_with_the_worker_in_a_hanging_call(run_python, clip_short, one_frame_clip, name):
    for _ in range(REPEAT):
        assert run_exit(run_python, HANGING_WORKER[name], clip_short, one_frame_clip) < EXIT_BOUND_S


READ_TIMEOUT_S = 4.0


@pytest.mark.parametrize("lowered_to_ms", [1, 500])
def test_exit_waits_for_a_native_read_by_the_timeout_it_was_opened_with(
        run_python, clip_short, one_frame_clip, lowered_to_ms):
    """The source opens with a 4 s read timeout, and the program lowers both timeouts in
    its environment (for later opens) while the worker's read waits for data. Exit still
    lets that read return (4 s after it began, 0.3 s before READY) before the process
    tears OpenCV down, and the process ends cleanly right after."""
    scenario = (f'os.environ["CORVANE_VIDEO_READ_TIMEOUT_MSEC"] = "{int(READ_TIMEOUT_S * 1000)}"\n'
                + SILENT_STREAM
                + f'os.environ["CORVANE_VIDEO_READ_TIMEOUT_MSEC"] = "{lowered_to_ms}"\n'
                + f'os.environ["CORVANE_VIDEO_OPEN_TIMEOUT_MSEC"] = "{lowered_to_ms}"\n')
    elapsed = run_exit(run_python, scenario, clip_short, one_frame_clip)
    assert READ_TIMEOUT_S - 1.0 <= elapsed < READ_TIMEOUT_S + 3.0
