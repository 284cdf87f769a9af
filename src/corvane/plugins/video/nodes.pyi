"""Type information for corvane.plugins.video.nodes, the behaviour-tree video nodes."""
import cv2 as cv2  # type: ignore[import]  # Debian's OpenCV ships no type information
from corvane.nodes import NodeStatus as NodeStatus
from corvane.nodes import SimpleActionNode as SimpleActionNode
from corvane.nodes import TreeNode as TreeNode
from corvane.plugins.video.capture import ParallVideoCapture as ParallVideoCapture
from loguru import logger as logger

__version__: str

class CreateThreadedVideoCapture(SimpleActionNode):
    """Input "config" (a mapping with "video_source" and "auto_reload"); output
    "video_capture": a started ParallVideoCapture."""

    ports: list[dict[str, str]]
    @staticmethod
    def tick(node: TreeNode) -> NodeStatus: ...

class ReadThreadedFrame(SimpleActionNode):
    """Input "video_capture" (a ParallVideoCapture); output "frame": a copy of its latest
    frame."""

    ports: list[dict[str, str]]
    @staticmethod
    def tick(node: TreeNode) -> NodeStatus: ...

class CreateVideoCapture(SimpleActionNode):
    """Input "video_source" (a string); output "video_capture": an open cv2.VideoCapture."""

    ports: list[dict[str, str]]
    @staticmethod
    def tick(node: TreeNode) -> NodeStatus: ...

class ReadFrame(SimpleActionNode):
    """Input "video_capture" (a cv2.VideoCapture); output "frame": the next frame, decoded
    on the tick thread."""

    ports: list[dict[str, str]]
    @staticmethod
    def tick(node: TreeNode) -> NodeStatus: ...
