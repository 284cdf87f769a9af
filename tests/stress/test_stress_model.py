"""The capture against its model: many long examples."""
from test_capture_model import *  # noqa: F401,F403
