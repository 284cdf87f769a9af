"""Interpreter exit with captures re-opening, dropped by their owners in every state, and
with callers waiting on them (exit_scenarios.py): status 0, promptly, nothing on stderr."""
import pytest

from exit_scenarios import EXISTING, EXIT_BOUND_S, STATES, run_exit
from reliability_support import STRESS, scaled

REPEAT = scaled(1, 5)
# The long version also repeats the capture tests' own exit scenarios.
SCENARIOS = dict(STATES, **({f"capture_tests.{k}": v for k, v in EXISTING.items()} if STRESS else {}))


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_exit(run_python, clip_short, one_frame_clip, name):
    for _ in range(REPEAT):
        assert run_exit(run_python, SCENARIOS[name], clip_short, one_frame_clip) < EXIT_BOUND_S
