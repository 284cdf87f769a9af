"""A recorder that takes the loguru logger's place in tests."""
import threading


class LogRecorder:
    """Stands in for the loguru logger: keeps (level, text) pairs, from any thread."""

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

    def texts(self, level=None):
        return [t for lv, t in self.lines if level is None or lv == level]

    def clear(self):
        with self._mutex:
            self._lines.clear()

    def without_info(self):
        return [line for line in self.lines if line[0] != "info"]
