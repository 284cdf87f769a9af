"""Fixtures of the live-source tests: real ffmpeg servers on 127.0.0.1, each stopped when
its test ends, and short open and read timeouts so dead senders are noticed quickly."""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_servers import LiveServer  # noqa: E402

if shutil.which("ffmpeg") is None:
    pytest.exit("the live-source tests need ffmpeg (make deps installs it)", returncode=1)


@pytest.fixture
def live_server():
    """live_server(fmt, **options) starts a LiveServer; every one is stopped at the end."""
    started = []

    def start(fmt, **options):
        server = LiveServer(fmt, **options)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def short_timeouts(monkeypatch):
    """Open and read timeouts of 1 s for every source opened during the test."""
    monkeypatch.setenv("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "1000")
    monkeypatch.setenv("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "1000")
    return 1.0
