"""Both pairs of nodes in one tree on the stand-in host, ticked at the clip's rate, and the
host's port wiring that the tree relies on."""
import pytest

import clips
from corvane.nodes import Entry, NodeStatus, PortError, SimpleActionNode, Tree


def make_sink(seen):
    """A consumer node that appends the index of the frame on its input (None if none)."""

    def tick(node):
        frame = node.getInputObject("frame")
        seen.append(None if frame is None else clips.frame_index(frame))
        return NodeStatus.SUCCESS

    return type("Sink", (SimpleActionNode,), {
        "ports": [{"name": "frame", "type": "object", "direction": "input", "description": ""}],
        "tick": staticmethod(tick)})


def test_both_pairs_deliver_the_clip_through_the_blackboard(nodes, log, tmp_path):
    # Longer than the run, so the capture does not reach its end while the tree ticks.
    clip = clips.write_clip(tmp_path / "clip60.mkv", frames=60, fps=25.0)
    threaded, direct = [], []
    tree = Tree()
    tree.add(nodes.CreateThreadedVideoCapture, once=True,
             config={"video_source": clip, "auto_reload": False})
    tree.add(nodes.ReadThreadedFrame)
    tree.add(make_sink(threaded))
    tree.add(nodes.CreateVideoCapture, once=True, video_source=clip,
             video_capture=Entry("direct_capture"))
    tree.add(nodes.ReadFrame, video_capture=Entry("direct_capture"), frame=Entry("direct_frame"))
    tree.add(make_sink(direct), frame=Entry("direct_frame"))
    try:
        result = tree.run(rate=25.0, ticks=25)
    finally:
        tree.blackboard["video_capture"].stop()

    assert result.ticks == 25 and result.status is NodeStatus.SUCCESS
    # The direct pair reads one frame per tick, in order, none skipped.
    assert direct == list(range(25))
    # The threaded pair sees the capture's latest frame: in order, starting near the
    # beginning, and mostly a new one on each tick at this rate.
    frames = [index for index in threaded if index is not None]
    assert frames == sorted(frames) and frames[0] <= 5 and frames[-1] <= 59
    assert len(set(frames)) >= 10
    # Only the tick right after the start may find no frame yet.
    assert threaded.count(None) <= 2
    assert all(line == ("warning", "无法读取视频帧: " + clip) for line in log.without_info())


class Echo(SimpleActionNode):
    ports = [{"name": "text", "type": "string", "direction": "input", "description": ""},
             {"name": "value", "type": "object", "direction": "input", "description": ""},
             {"name": "result", "type": "object", "direction": "output", "description": ""}]

    @staticmethod
    def tick(node):
        return NodeStatus.SUCCESS


@pytest.fixture
def echo():
    tree = Tree()
    return tree, tree.add(Echo, text="literal", result=Entry("out"))


@pytest.mark.parametrize("call", [
    lambda h: h.getInputObject("nope"),
    lambda h: h.getInputObject("result"),
    lambda h: h.getInputString("nope"),
    lambda h: h.setOutput("nope", 1),
    lambda h: h.setOutput("text", 1),
    lambda h: h.setOutput("out:object:nope", 1),
    lambda h: h.setOutput("out:string:result", 1),
], ids=["unknown input", "output read as input", "unknown string input", "unknown output",
        "input written", "typed key of unknown output", "typed key of wrong type"])
def test_undeclared_port_names_are_errors(echo, call):
    _, handle = echo
    with pytest.raises(PortError):
        call(handle)


def test_inputs_yield_literals_entries_or_none_and_outputs_write_entries(echo):
    tree, handle = echo
    assert handle.getInputString("text") == "literal"
    assert handle.getInputObject("value") is None
    marker = object()
    tree.blackboard["value"] = marker
    assert handle.getInputObject("value") is marker
    handle.setOutput("result", 1)
    assert tree.blackboard["out"] == 1
    handle.setOutput("out:object:result", marker)
    assert tree.blackboard["out"] is marker


def test_wiring_an_undeclared_port_is_refused():
    with pytest.raises(PortError):
        Tree().add(Echo, nope=Entry("x"))
