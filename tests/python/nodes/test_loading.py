"""Loading the nodes module: what it imports and in which order, what it binds, how a failed
import fails it, and the shape of the four node classes."""
import inspect
import json
import types

import pytest

from nodes_support import Handle

CLASS_NAMES = ["CreateThreadedVideoCapture", "ReadThreadedFrame", "CreateVideoCapture", "ReadFrame"]


def port(name, type_, direction):
    return {"name": name, "type": type_, "direction": direction, "description": ""}


PORTS = {
    "CreateThreadedVideoCapture": [port("config", "object", "input"),
                                   port("video_capture", "object", "output")],
    "ReadThreadedFrame": [port("video_capture", "object", "input"),
                          port("frame", "object", "output")],
    "CreateVideoCapture": [port("video_source", "string", "input"),
                           port("video_capture", "object", "output")],
    "ReadFrame": [port("video_capture", "object", "input"), port("frame", "object", "output")],
}


def test_module_binds_its_imports_then_its_classes_in_order(nodes):
    import cv2
    import loguru
    import corvane.nodes as framework
    import corvane.plugins.video.capture as capture

    public = [name for name in vars(nodes) if not name.startswith("__")]
    assert public == ["logger", "SimpleActionNode", "TreeNode", "NodeStatus",
                      "ParallVideoCapture", "cv2"] + CLASS_NAMES
    assert nodes.logger is loguru.logger
    assert nodes.SimpleActionNode is framework.SimpleActionNode
    assert nodes.TreeNode is framework.TreeNode
    assert nodes.NodeStatus is framework.NodeStatus
    assert nodes.ParallVideoCapture is capture.ParallVideoCapture
    assert nodes.cv2 is cv2


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_node_class_shape(nodes, name):
    cls = getattr(nodes, name)
    assert cls.__bases__ == (nodes.SimpleActionNode,)
    assert cls.__module__ == "corvane.plugins.video.nodes"
    assert cls.__doc__ is None
    assert [key for key in vars(cls) if not key.startswith("__")] == ["ports", "tick"]
    assert cls.ports == PORTS[name]
    assert [list(decl) for decl in cls.ports] == [["name", "type", "direction", "description"]] * 2
    assert isinstance(vars(cls)["tick"], staticmethod)
    assert list(inspect.signature(cls.tick).parameters) == ["node"]


# For each class, inputs on which its tick completes after logging a problem.
COMPLETING_INPUTS = {
    "CreateThreadedVideoCapture": {},
    "ReadThreadedFrame": {"video_capture": types.SimpleNamespace(is_running=lambda: False,
                                                                  video_path="p")},
    "CreateVideoCapture": {"video_source": "/nonexistent/clip.mkv"},
    "ReadFrame": {"video_capture": types.SimpleNamespace(isOpened=lambda: False)},
}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_tick_takes_node_by_position_or_keyword_from_class_or_instance(nodes, log, name):
    cls = getattr(nodes, name)
    calls = [lambda h: cls.tick(h), lambda h: cls.tick(node=h), lambda h: cls().tick(h)]
    for call in calls:
        assert call(Handle(**COMPLETING_INPUTS[name])) is nodes.NodeStatus.SUCCESS
    assert len(log.lines) == len(calls)


# Records the imports made directly by the nodes module's load (depth 1 below the import
# statement); the capture module's own imports are one level deeper.
IMPORT_ORDER_CHILD = r"""
import builtins, json
real_import = builtins.__import__
depth = 0
seen = []
def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
    global depth
    if depth == 1:
        seen.append(name)
    depth += 1
    try:
        return real_import(name, globals, locals, fromlist, level)
    finally:
        depth -= 1
builtins.__import__ = recording_import
import corvane.plugins.video.nodes
builtins.__import__ = real_import
print(json.dumps(seen))
"""


def test_load_imports_logger_framework_capture_then_opencv(run_child):
    child = run_child(IMPORT_ORDER_CHILD)
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == ["loguru", "corvane.nodes",
                                        "corvane.plugins.video.capture", "cv2"]


# Loads the nodes module with `prepare` run first and reports the error and which of the
# later dependencies were loaded by then.
FAILED_LOAD_CHILD = r"""
import json, sys, types
%s
try:
    import corvane.plugins.video.nodes
    result = {"error": None}
except BaseException as exc:
    result = {"error": type(exc).__name__, "message": str(exc)}
result["loaded"] = [m for m in ("loguru", "corvane.plugins.video.capture", "cv2")
                    if sys.modules.get(m) is not None]
result["nodes_registered"] = "corvane.plugins.video.nodes" in sys.modules
print(json.dumps(result))
"""

MISSING_NAME = """
stub = types.ModuleType("corvane.nodes")
class SimpleActionNode: pass
class TreeNode: pass
stub.SimpleActionNode, stub.TreeNode = SimpleActionNode, TreeNode
sys.modules["corvane.nodes"] = stub
"""


@pytest.mark.parametrize("prepare, error, message_part, loaded", [
    ("sys.modules['loguru'] = None", "ModuleNotFoundError", "loguru", []),
    (MISSING_NAME, "ImportError", "cannot import name 'NodeStatus' from 'corvane.nodes'",
     ["loguru"]),
    ("sys.modules['corvane.plugins.video.capture'] = None", "ModuleNotFoundError",
     "corvane.plugins.video.capture", ["loguru"]),
], ids=["no logger", "framework without NodeStatus", "no capture module"])
def test_a_failed_import_fails_the_load(run_child, prepare, error, message_part, loaded):
    child = run_child(FAILED_LOAD_CHILD % prepare)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    assert result["error"] == error
    assert message_part in result["message"]
    assert result["loaded"] == loaded
    assert not result["nodes_registered"]


def test_load_fails_when_the_framework_module_is_missing(run_child, nodes, tmp_path):
    # A package tree holding the plug-in but not corvane.nodes.
    import corvane.plugins
    plugins_dir = list(corvane.plugins.__path__)[0]
    (tmp_path / "corvane").mkdir()
    (tmp_path / "corvane" / "plugins").symlink_to(plugins_dir)
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": str(tmp_path)}
    child = run_child(FAILED_LOAD_CHILD % "", env=env)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    assert result["error"] == "ModuleNotFoundError"
    assert "corvane.nodes" in result["message"]
    assert result["loaded"] == ["loguru"]
