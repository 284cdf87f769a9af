"""CreateVideoCapture and ReadFrame: opening through the module's cv2, reading a clip frame by
frame, every logged problem, and errors that leave the tick untouched."""
import cv2
import numpy as np
import pytest

import clips
from nodes_support import Handle

OPEN_FAILED = "视频加载失败，请检查路径是否正确"


class ScriptedCapture:
    """A VideoCapture stand-in whose isOpened and read answers are given."""

    def __init__(self, opened=True, read_result=(True, "frame")):
        self.opened = opened
        self.read_result = read_result
        self.calls = []

    def isOpened(self):
        self.calls.append("isOpened")
        return self.opened

    def read(self):
        self.calls.append("read")
        if isinstance(self.read_result, BaseException):
            raise self.read_result
        return self.read_result

    def release(self):
        self.calls.append("release")


# --- CreateVideoCapture -------------------------------------------------------------------

def test_opened_capture_is_output_and_each_tick_opens_another(nodes, log, clip, success):
    handle = Handle(video_source=clip)
    assert nodes.CreateVideoCapture.tick(handle) is success
    assert nodes.CreateVideoCapture.tick(handle) is success
    (port1, first), (port2, second) = handle.writes
    assert port1 == port2 == "video_capture"
    assert isinstance(first, cv2.VideoCapture) and first is not second
    assert first.isOpened() and second.isOpened()  # the first was not released
    assert log.lines == []


def test_unopenable_source_logs_without_the_source(nodes, log, tmp_path, success):
    handle = Handle(video_source=str(tmp_path / "missing.mkv"))
    assert nodes.CreateVideoCapture.tick(handle) is success
    assert log.lines == [("error", OPEN_FAILED)]
    assert handle.writes == []


@pytest.mark.parametrize("opened", [True, False])
def test_capture_is_built_through_the_module_cv2(nodes, log, monkeypatch, opened):
    made = []

    def factory(*args):
        made.append((args, ScriptedCapture(opened=opened)))
        return made[-1][1]

    monkeypatch.setattr(nodes.cv2, "VideoCapture", factory)
    source = "rtsp://camera/stream"
    handle = Handle(video_source=source)
    nodes.CreateVideoCapture.tick(handle)
    [(args, cap)] = made
    assert args == (source,) and args[0] is source
    assert cap.calls == ["isOpened"]  # never released, also when it did not open
    assert handle.writes == ([("video_capture", cap)] if opened else [])


def test_create_handle_error_leaves_the_tick(nodes, log):
    handle = Handle()  # getInputString raises KeyError for the missing input
    with pytest.raises(KeyError):
        nodes.CreateVideoCapture.tick(handle)
    assert log.lines == [] and handle.writes == []


# --- ReadFrame ----------------------------------------------------------------------------

def test_reads_consecutive_frames_then_reports_the_end_without_rewinding(nodes, log, tmp_path,
                                                                        success):
    path = clips.write_clip(tmp_path / "five.mkv", frames=5, fps=25.0)
    cap = cv2.VideoCapture(path)
    handle = Handle(video_capture=cap)
    for _ in range(7):
        assert nodes.ReadFrame.tick(handle) is success
    assert [key for key, _ in handle.writes] == ["out:object:frame"] * 5
    assert [clips.frame_index(frame) for _, frame in handle.writes] == [0, 1, 2, 3, 4]
    assert log.lines == [("error", "无法读取视频帧")] * 2


def test_frame_goes_out_without_a_copy(nodes, log):
    frame = np.zeros((2, 2, 3), np.uint8)
    handle = Handle(video_capture=ScriptedCapture(read_result=(True, frame)))
    nodes.ReadFrame.tick(handle)
    assert handle.writes == [("out:object:frame", frame)] and handle.writes[0][1] is frame


@pytest.mark.parametrize("opened", [False, 0, None])
def test_unopened_capture_logs_and_is_not_read(nodes, log, success, opened):
    cap = ScriptedCapture(opened=opened)
    handle = Handle(video_capture=cap)
    assert nodes.ReadFrame.tick(handle) is success
    assert log.lines == [("error", OPEN_FAILED)]
    assert cap.calls == ["isOpened"] and handle.writes == []


@pytest.mark.parametrize("ret", [False, 0, None, np.bool_(False)], ids=repr)
def test_failed_read_logs_and_writes_nothing(nodes, log, success, ret):
    handle = Handle(video_capture=ScriptedCapture(read_result=(ret, None)))
    assert nodes.ReadFrame.tick(handle) is success
    assert log.lines == [("error", "无法读取视频帧")]
    assert handle.writes == []


@pytest.mark.parametrize("read_result", [[True, "f"], iter((1, "f")), (np.bool_(True), "f")],
                         ids=["list", "iterator", "numpy flag"])
def test_any_pair_unpacks(nodes, log, read_result):
    handle = Handle(video_capture=ScriptedCapture(read_result=read_result))
    nodes.ReadFrame.tick(handle)
    assert handle.writes == [("out:object:frame", "f")]


@pytest.mark.parametrize("inputs, error, message", [
    ({}, AttributeError, "'NoneType' object has no attribute 'isOpened'"),
    ({"video_capture": ScriptedCapture(read_result=(True,))}, ValueError,
     r"not enough values to unpack \(expected 2, got 1\)"),
    ({"video_capture": ScriptedCapture(read_result=(True, "f", "x"))}, ValueError,
     r"too many values to unpack \(expected 2"),  # the interpreter's own wording
    ({"video_capture": ScriptedCapture(read_result=iter((True, "f", "x")))}, ValueError,
     r"too many values to unpack \(expected 2\)"),
    ({"video_capture": ScriptedCapture(read_result=7)}, TypeError,
     "cannot unpack non-iterable int object"),
    ({"video_capture": ScriptedCapture(read_result=cv2.error("decoder broke"))}, cv2.error,
     "decoder broke"),
], ids=["nothing on the input", "one value", "three values", "long iterator", "not iterable",
        "read raises"])
def test_read_errors_leave_the_tick_without_a_line(nodes, log, inputs, error, message):
    handle = Handle(**inputs)
    with pytest.raises(error, match=message):
        nodes.ReadFrame.tick(handle)
    assert log.lines == [] and handle.writes == []
