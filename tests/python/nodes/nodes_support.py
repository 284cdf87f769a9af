"""Helpers of the node tests: a scripted node handle, and the recorder that takes the
logger's place."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from log_recorder import LogRecorder  # noqa: E402  (shared by the node tests)

__all__ = ["Handle", "LogRecorder"]


class Handle:
    """A node handle with scripted inputs that records what the tick writes."""

    def __init__(self, **inputs):
        self.inputs = inputs
        self.writes = []

    def getInputObject(self, name):
        return self.inputs.get(name)

    def getInputString(self, name):
        return self.inputs[name]

    def setOutput(self, name, value):
        self.writes.append((name, value))
