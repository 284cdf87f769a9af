"""A recorder that takes the loguru logger's place in tests and in their child
interpreters."""
import collections
import threading

RELOAD_PREFIXES = ("正在重新加载视频: ", "发生错误，正在重新加载视频: ")


class LogRecorder:
    """Stands in for the loguru logger: keeps (level, text) pairs, from any thread.

    `keep` bounds how many lines are kept (the newest), so a long run does not grow
    through its own log; `counts` counts every line by level, and re-open lines under
    "reload", whether kept or not."""

    def __init__(self, keep=None):
        self._mutex = threading.Lock()
        self._lines = collections.deque(maxlen=keep)
        self.counts = collections.Counter()

    def _add(self, level, text):
        with self._mutex:
            self._lines.append((level, text))
            self.counts[level] += 1
            if text.startswith(RELOAD_PREFIXES):
                self.counts["reload"] += 1

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
            self.counts.clear()

    def without_info(self):
        return [line for line in self.lines if line[0] != "info"]
