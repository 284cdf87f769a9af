"""Interpreter exit while callers wait on a hanging call of a Python source: a seek whose
positioning hangs, a seek and a reader behind a hung read, a stop waiting for it, and a new
run next to a worker that outlived stop (exit_scenarios.py): status 0, promptly, nothing
on stderr."""
import pytest

from exit_scenarios import EXIT_BOUND_S, HANGING_CALLERS, run_exit
from reliability_support import scaled

REPEAT = scaled(1, 5)


@pytest.mark.parametrize("name", sorted(HANGING_CALLERS))
def test_exit_with_callers_waiting(run_python, clip_short, one_frame_clip, name):
    for _ in range(REPEAT):
        assert run_exit(run_python, HANGING_CALLERS[name], clip_short, one_frame_clip) < EXIT_BOUND_S
