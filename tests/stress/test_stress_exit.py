"""Interpreter exit in every state, each scenario five times, the capture tests' own exit
scenarios included."""
from test_exit_hanging import *  # noqa: F401,F403
from test_exit_states import *  # noqa: F401,F403
from test_exit_waiting_callers import *  # noqa: F401,F403
