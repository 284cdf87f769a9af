"""Fixtures of the node tests: the nodes module, a recorder in place of the logger (of the
nodes module and of the capture module, so their lines interleave as logged), a scripted
node handle, a generated clip and a child-interpreter runner."""
import os
import subprocess
import sys

import pytest

PY_TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if PY_TESTS_DIR not in sys.path:
    sys.path.insert(0, PY_TESTS_DIR)

import clips  # noqa: E402
from nodes_support import LogRecorder  # noqa: E402


@pytest.fixture(scope="session")
def nodes():
    import corvane.plugins.video.nodes as module
    return module


@pytest.fixture
def log(nodes, monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(nodes, "logger", recorder)
    monkeypatch.setattr(sys.modules["corvane.plugins.video.capture"], "logger", recorder)
    return recorder


@pytest.fixture(scope="session")
def success(nodes):
    return nodes.NodeStatus.SUCCESS


@pytest.fixture(scope="session")
def clip(tmp_path_factory):
    """25 fps, 30 frames of 160x120 whose pixels encode their index."""
    return clips.write_clip(tmp_path_factory.mktemp("clips") / "clip25.mkv", frames=30, fps=25.0)


@pytest.fixture
def run_child():
    """Run Python `code` in a child interpreter with the tests' import path; a hang fails."""

    def run(code, timeout=60, env=None):
        child_env = dict(os.environ if env is None else env)
        paths = [PY_TESTS_DIR] + [p for p in child_env.get("PYTHONPATH", "").split(os.pathsep) if p]
        child_env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths)
        try:
            return subprocess.run([sys.executable, "-c", code], env=child_env,
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            pytest.fail("child interpreter hung:\n%s\n%s" % (exc.stdout, exc.stderr))

    return run
