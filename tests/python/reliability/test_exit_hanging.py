"""Interpreter exit while the worker hangs in a call of a Python source: in a re-open, or
with the capture dropped by its owner (exit_scenarios.py). The worker is left behind; the
interpreter still ends with status 0, promptly, and nothing on stderr."""
import pytest

from exit_scenarios import EXIT_BOUND_S, HANGING_WORKER, run_exit
from reliability_support import scaled

REPEAT = scaled(1, 5)


@pytest.mark.parametrize("name", sorted(HANGING_WORKER))
def test_exit_with_the_worker_in_a_hanging_call(run_python, clip_short, one_frame_clip, name):
    for _ in range(REPEAT):
        assert run_exit(run_python, HANGING_WORKER[name], clip_short, one_frame_clip) < EXIT_BOUND_S
