"""Fixtures of the reliability tests: a scripted Python source in place of
cv2.VideoCapture, captures that are stopped when a test ends, and clips that are cut,
empty or not video at all."""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PY_TESTS_DIR = os.path.dirname(HERE)
for path in (PY_TESTS_DIR, os.path.join(PY_TESTS_DIR, "capture"), os.path.join(PY_TESTS_DIR, "nodes"),
             HERE):
    if path not in sys.path:
        sys.path.insert(0, path)

import clips  # noqa: E402


@pytest.fixture(scope="session")
def nodes():
    import corvane.plugins.video.nodes as module
    return module


@pytest.fixture(scope="session")
def success(nodes):
    return nodes.NodeStatus.SUCCESS


@pytest.fixture
def node_log(nodes, capture_module, monkeypatch):
    """A recorder in place of the logger of both modules."""
    from nodes_support import LogRecorder
    recorder = LogRecorder()
    monkeypatch.setattr(nodes, "logger", recorder)
    monkeypatch.setattr(capture_module, "logger", recorder)
    return recorder


@pytest.fixture(scope="session")
def clip30(clip_dir):
    """100 fps, 30 frames."""
    return clips.write_clip(clip_dir / "clip30.mkv", frames=30, fps=100.0)


@pytest.fixture(scope="session")
def one_frame_clip(clip_dir):
    """One frame at 1000 fps: every pass either publishes it or re-opens the clip."""
    return clips.write_clip(clip_dir / "one_frame.mkv", frames=1, fps=1000.0)


@pytest.fixture(scope="session")
def broken_files(clip_dir, clip30):
    """Files that are not playable clips, by name."""
    folder = clip_dir / "broken"
    folder.mkdir()
    data = open(clip30, "rb").read()
    made = {
        "empty": b"",
        "random": os.urandom(64 * 1024),
        "header_only": data[:300],
        "cut_in_half": data[:len(data) // 2],
    }
    paths = {}
    for name, content in made.items():
        path = folder / (name + ".mkv")
        path.write_bytes(content)
        paths[name] = str(path)
    paths["directory"] = str(folder)
    return paths
