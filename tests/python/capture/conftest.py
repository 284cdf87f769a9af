"""Fixtures of the capture tests: every test records the capture module's log, can
install a scripted Python source as `cv2.VideoCapture`, and gets its captures stopped
when it ends."""
import pytest

from capture_support import make_fake_class


@pytest.fixture(autouse=True)
def _quiet_log(log):
    return log


@pytest.fixture
def fake(capture_module, monkeypatch):
    """install(**config) puts a new FakeSource class in place of cv2.VideoCapture."""

    def install(**config):
        cls = make_fake_class(**config)
        monkeypatch.setattr(capture_module.cv2, "VideoCapture", cls)
        return cls

    return install


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
