"""Long runs at full size: 10,000 re-opens and 1,000 start/stop cycles per kind of source."""
from test_soak import *  # noqa: F401,F403
