"""Fixtures of the capture tests: every test records the capture module's log and gets
its captures stopped when it ends (the scripted source, `fake`, is shared from the
package's conftest)."""
import pytest


@pytest.fixture(autouse=True)
def _quiet_log(log):
    return log


@pytest.fixture
def make_capture(capture_module, monkeypatch, log):
    """Construct captures that are stopped when the test ends."""
    made = []

    def make(path="fake://source", auto_reload=True):
        cap = capture_module.ParallVideoCapture(path, auto_reload)
        made.append(cap)
        return cap

    yield make
    for cap in made:
        cap.stop()
