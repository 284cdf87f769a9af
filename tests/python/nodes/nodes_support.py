"""Helpers of the node tests: a recorder that takes the logger's place and a scripted node
handle."""
import threading


class LogRecorder:
    """Takes the logger's place; keeps (level, text) pairs from any thread."""

    def __init__(self):
        self._mutex = threading.Lock()
        self._lines = []

    def _add(self, level, text):
        with self._mutex:
            self._lines.append((level, text))

    def info(self, text):
        self._add("info", text)

    def warning(self, text):
        self._add("warning", text)

    def error(self, text):
        self._add("error", text)

    @property
    def lines(self):
        with self._mutex:
            return list(self._lines)

    def without_info(self):
        return [line for line in self.lines if line[0] != "info"]


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
