"""Shared by the reliability tests and their long versions under tests/stress.

The long versions run the very same test functions; `scaled` picks the size of a run
from CORVANE_STRESS, which `make stress` sets to 1.
"""
import os

STRESS = os.environ.get("CORVANE_STRESS") == "1"


def scaled(short, long):
    """`long` for a stress run, `short` otherwise."""
    return long if STRESS else short


# Runs in child interpreters: a logger that keeps only counts and the last lines, so
# that a run of thousands of re-opens does not grow memory through its own log.
COUNTING_LOGGER = '''
import collections, threading

class CountingLogger:
    def __init__(self):
        self._mutex = threading.Lock()
        self.counts = collections.Counter()
        self.last = collections.deque(maxlen=20)

    def _add(self, level, text):
        with self._mutex:
            self.counts[level] += 1
            if text.startswith(("正在重新加载视频: ", "发生错误，正在重新加载视频: ")):
                self.counts["reload"] += 1
            self.last.append((level, text))

    def info(self, text):
        self._add("info", text)

    def warning(self, text):
        self._add("warning", text)

    def error(self, text):
        self._add("error", text)
'''
