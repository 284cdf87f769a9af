"""Fixtures of the capture tests: every test records the capture module's log and gets
its captures stopped when it ends (the scripted source, `fake`, is shared from the
package's conftest)."""
import pytest


@pytest.fixture(autouse=True)
def _quiet_log(log):
    return log


