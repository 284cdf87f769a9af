"""The reconnect recipe (examples/reconnect.py), as a plain loop and as a tree node, against
a real stream whose sender dies and comes back on the same port."""
import os
import sys
import threading

import pytest

EXAMPLES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                            "examples")
sys.path.insert(0, os.path.abspath(EXAMPLES_DIR))
import reconnect  # noqa: E402


def run_loop(capture, stop, recipe):
    reconnect.keep_running(capture, stop, recipe, interval=0.05)


def run_tree(capture, stop, recipe):
    reconnect.build_tree({"video_capture": capture}, recipe).run(20, until=stop.is_set)


@pytest.mark.parametrize("run", [run_loop, run_tree], ids=["loop", "tree"])
def test_recipe_restarts_the_capture_when_the_stream_comes_back(run, live_server, make_capture,
                                                                short_timeouts, wait_until):
    first = live_server("mpegts-udp")
    video = make_capture(first.url)
    assert video.start()
    events = []
    recipe = reconnect.Reconnect(first_delay=0.2, longest_delay=0.8, report=events.append)
    stop = threading.Event()
    watcher = threading.Thread(target=run, args=(video, stop, recipe), daemon=True)
    watcher.start()
    try:
        assert wait_until(lambda: video.current_frame_number >= 5, timeout=5.0)
        first.stop()
        assert wait_until(lambda: "capture stopped; next start in 0.2 s" in events, timeout=5.0)
        # The stream stays away for a failed start (it gives up after the open timeout).
        assert wait_until(lambda: "start failed; next start in 0.4 s" in events, timeout=4.0)
        # The new sender numbers its frames from 1000, so its frames are told from old ones.
        second = live_server("mpegts-udp", port=first.port, first_index=1000)

        def fresh():
            frame = video.get_frame()
            age = None if frame is None else second.age(frame)
            return age is not None and age < 0.5

        assert wait_until(fresh, timeout=8.0), events
        assert recipe.restarts >= 1 and recipe.delay == 0.2
    finally:
        stop.set()
        watcher.join(timeout=10)
