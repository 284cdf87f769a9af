"""Live sources against real ffmpeg servers: the capture stays current while playing and
after a pause, and a sender that dies is noticed within the read and open timeouts."""
import time

import pytest


@pytest.mark.parametrize("fmt", ["mjpeg-http", "mpegts-http"])
def test_live_source_stays_current_while_playing_and_after_a_pause(fmt, live_server,
                                                                   make_capture):
    # 30 fps; OpenCV reports the MJPEG stream as 25 fps, so pacing it would fall behind.
    server = live_server(fmt, fps=30.0)
    video = make_capture(server.url)
    assert video.start()
    time.sleep(3.0)
    # The pipeline itself (ffmpeg's encoding, the decoder's delay) takes about 0.1 s.
    assert server.age(video.get_frame()) < 0.35
    video.pause()
    time.sleep(2.0)
    video.resume()
    time.sleep(1.0)
    assert server.age(video.get_frame()) < 0.35


def test_dying_sender_is_noticed_within_the_timeouts(live_server, make_capture, log,
                                                     short_timeouts, wait_until):
    server = live_server("mpegts-udp")
    video = make_capture(server.url)
    assert video.start()
    assert wait_until(lambda: video.current_frame_number >= 5, timeout=5.0)
    server.stop()
    died = time.monotonic()
    # One read that times out, then one re-open that does.
    assert wait_until(lambda: not video.is_running(), timeout=2 * short_timeouts + 3.0)
    assert time.monotonic() - died > short_timeouts * 0.8
    assert "视频读取结束或出错" in log.texts("warning")
    assert "视频重新加载失败: " + server.url in log.texts("error")
