"""Shared fixtures for the Python tests: the capture module, generated clips, a log
recorder that replaces the capture module's logger, and helpers for waiting and for
running scripts in a child interpreter."""
import os
import subprocess
import sys
import time

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if TESTS_DIR not in sys.path:
    sys.path.insert(0, TESTS_DIR)

import clips  # noqa: E402
from log_recorder import LogRecorder  # noqa: E402

sys.path.insert(0, os.path.join(TESTS_DIR, "capture"))
from capture_support import make_fake_class  # noqa: E402


def wait_until(condition, timeout=2.0, interval=0.005):
    """Poll `condition` until it returns a true value or `timeout` seconds pass; return
    its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


@pytest.fixture(scope="session")
def capture_module():
    import corvane.plugins.video.capture as module
    return module


@pytest.fixture
def log(capture_module, monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(capture_module, "logger", recorder)
    return recorder


@pytest.fixture(name="wait_until")
def wait_until_fixture():
    return wait_until


@pytest.fixture(scope="session")
def clip_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("clips")


@pytest.fixture(scope="session")
def clip25(clip_dir):
    """25 fps, 50 frames (2 s)."""
    return clips.write_clip(clip_dir / "clip25.mkv", frames=50, fps=25.0)


@pytest.fixture(scope="session")
def clip200(clip_dir):
    """200 fps, 400 frames (2 s)."""
    return clips.write_clip(clip_dir / "clip200.mkv", frames=400, fps=200.0)


@pytest.fixture(scope="session")
def clip_short(clip_dir):
    """100 fps, 12 frames: reaches its end in about 0.12 s."""
    return clips.write_clip(clip_dir / "clip_short.mkv", frames=12, fps=100.0)


@pytest.fixture
def run_python():
    """Run `code` in a child interpreter (same PYTHONPATH, tests directory importable)
    and return the CompletedProcess; a hang fails the test after `timeout` seconds."""

    def run(code, timeout=30, args=()):
        env = dict(os.environ)
        paths = [TESTS_DIR, os.path.join(TESTS_DIR, "capture")]
        paths += [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join(paths)
        try:
            return subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env,
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            pytest.fail(f"child interpreter did not finish within {timeout} s:\n"
                        f"stdout: {exc.stdout}\nstderr: {exc.stderr}")

    return run


@pytest.fixture
def fake(capture_module, monkeypatch):
    """install(**config) puts a new scripted source class in place of cv2.VideoCapture."""

    def install(**config):
        cls = make_fake_class(**config)
        monkeypatch.setattr(capture_module.cv2, "VideoCapture", cls)
        return cls

    return install


@pytest.fixture
def make_capture(capture_module, log):
    """Construct captures (recording their log) that are stopped when the test ends."""
    made = []

    def make(path="fake://source", auto_reload=True):
        cap = capture_module.ParallVideoCapture(path, auto_reload)
        made.append(cap)
        return cap

    yield make
    for cap in made:
        cap.stop()
