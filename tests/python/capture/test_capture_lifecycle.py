"""start / stop / is_running: opening, the video-information line, release of the source,
restarts and the caught errors of start."""
import math
import threading
import time

import pytest

from clips import frame_index


def info_line(size, rate, count, length):
    return f"视频信息: 分辨率={size}, 帧率={rate}fps, 总帧数={count}, 时长={length}秒"


@pytest.mark.parametrize("props, fps, count, duration, line", [
    ((640.0, 480.0, 25.0, 250.0), 25.0, 250, 10.0, info_line("640x480", "25.00", 250, "10.00")),
    ((640.0, 480.0, 0.0, 100.0), 0.0, 100, 0, info_line("640x480", "0.00", 100, "0.00")),
    ((640.0, 480.0, -5.0, 100.0), -5.0, 100, 0, info_line("640x480", "-5.00", 100, "0.00")),
    ((640.0, 480.0, math.nan, 100.0), math.nan, 100, 0, info_line("640x480", "nan", 100, "0.00")),
    ((1280.0, 720.0, 29.97002997, 300.0), 29.97002997, 300, 300 / 29.97002997,
     info_line("1280x720", "29.97", 300, "10.01")),
    ((320.9, 240.5, 25.0, 299.99), 25.0, 299, 299 / 25.0, info_line("320x240", "25.00", 299, "11.96")),
    ((320.0, 240.0, 25.0, -1.0), 25.0, -1, -1 / 25.0, info_line("320x240", "25.00", -1, "-0.04")),
    ((2.0 ** 63, 1e30, 25.0, -2.0 ** 64), 25.0, -2 ** 64, -2 ** 64 / 25.0,
     info_line(f"{2 ** 63}x{int(1e30)}", "25.00", -2 ** 64, f"{-2 ** 64 / 25.0:.2f}")),
])
def test_start_reads_the_properties_and_logs_them(fake, make_capture, log, props, fps, count,
                                                  duration, line):
    width, height, rate, frames = props
    fake(frames=None, fps=rate, count=frames, width=width, height=height)
    cap = make_capture()
    assert cap.start() is True
    assert log.lines == [("info", line)]
    assert type(cap.fps) is float and (cap.fps == fps or math.isnan(fps) and math.isnan(cap.fps))
    assert type(cap.frame_count) is int and cap.frame_count == count
    assert (cap.width, cap.height) == (int(width), int(height))
    assert type(cap.width) is int and type(cap.height) is int
    assert type(cap.duration) is type(duration) and cap.duration == pytest.approx(duration)


def test_start_and_stop_on_a_clip(capture_module, make_capture, clip25, log, wait_until):
    cap = make_capture(clip25)
    assert cap.start() is True
    assert log.lines == [("info", info_line("160x120", "25.00", 50, "2.00"))]
    assert cap.is_running() is True and cap.running is True
    worker = cap.thread
    assert isinstance(worker, threading.Thread) and worker.daemon and worker.is_alive()
    target = getattr(worker, "_target", None)
    assert target.__name__ == "_capture_loop" and target.__self__ is cap
    assert cap.cap.isOpened() is True
    assert wait_until(lambda: cap.get_frame() is not None)

    assert cap.stop() is None
    assert cap.is_running() is False and cap.cap is None
    assert cap.thread is worker and not worker.is_alive()
    assert cap.get_frame() is not None                       # the last frame stays
    assert (cap.width, cap.height, cap.fps, cap.frame_count, cap.duration) == (160, 120, 25.0, 50, 2.0)
    assert log.texts("warning") == [] and log.texts("error") == []


def test_native_cap_has_the_methods_of_a_video_capture(make_capture, clip25):
    cap = make_capture(clip25)
    cap.start()
    cap.pause()
    native = cap.cap
    assert native.grab() is True
    ok, image = native.retrieve()
    assert ok is True and image.shape == (120, 160, 3)
    assert isinstance(native.getBackendName(), str) and native.getBackendName()
    assert native.getExceptionMode() is False
    native.setExceptionMode(True)
    assert native.getExceptionMode() is True


def test_open_failure_on_a_path(make_capture, log):
    path = "/no/such/dir/clip.mkv"
    cap = make_capture(path)
    assert cap.start() is False
    assert log.lines == [("error", "无法打开视频: " + path)]
    assert cap.is_running() is False and cap.thread is None
    assert cap.cap is not None and not cap.cap.isOpened()    # the unopened source stays
    cap.stop()
    assert cap.cap is None


def test_stop_after_failed_open_releases_the_unopened_source(fake, make_capture, log):
    source = fake(opens=False)
    cap = make_capture()
    assert cap.start() is False
    assert log.lines == [("error", "无法打开视频: fake://source")]
    unopened = source.instances[0]
    assert cap.cap is unopened and unopened.released == 0
    cap.stop()
    assert unopened.released == 1 and cap.cap is None
    cap.stop()
    assert unopened.released == 1


def test_second_start_only_warns(fake, make_capture, log):
    source = fake(frames=None)
    cap = make_capture()
    assert cap.start() is True
    worker, opened = cap.thread, cap.cap
    assert cap.start() is True
    assert log.lines[1:] == [("warning", "视频捕获已经在运行中")]
    assert len(source.instances) == 1 and cap.thread is worker and cap.cap is opened


def test_stop_before_start_and_repeated_stop(fake, make_capture, log, wait_until):
    source = fake(frames=None)
    cap = make_capture()
    t0 = time.monotonic()
    assert cap.stop() is None and cap.stop() is None
    assert time.monotonic() - t0 < 0.2
    assert cap.thread is None and cap.cap is None and log.lines == []

    cap.start()
    assert wait_until(lambda: cap.current_frame_number > 0)
    cap.stop()
    opened = source.instances[0]
    assert opened.released == 1
    t0 = time.monotonic()
    cap.stop()
    assert time.monotonic() - t0 < 0.2 and opened.released == 1
    assert cap.frame is not None and cap.current_frame_number > 0    # stop keeps them


def test_restart_after_stop_opens_afresh_and_counts_on(fake, make_capture, wait_until):
    source = fake(frames=None, fps=200.0)
    cap = make_capture()
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 3)
    first_worker = cap.thread
    cap.stop()
    counted = cap.current_frame_number
    assert cap.start() is True
    assert cap.thread is not first_worker and len(source.instances) == 2
    assert wait_until(lambda: cap.current_frame_number > counted)
    number, frame = cap.get_frame_with_number()
    assert number == counted + frame_index(frame) + 1


def test_start_after_the_worker_ended_by_itself(fake, make_capture, wait_until):
    source = fake(frames=3)
    cap = make_capture(auto_reload=False)
    cap.start()
    first_worker = cap.thread
    assert wait_until(lambda: not cap.is_running())
    first_worker.join(1.0)
    assert not first_worker.is_alive()
    assert cap.start() is True and cap.is_running() is True
    assert len(source.instances) == 2 and cap.thread is not first_worker and cap.thread.is_alive()


class FailingThread(threading.Thread):
    def start(self):
        raise RuntimeError("can't start new thread")


class UnmakeableThread:
    def __init__(self, *args, **kwargs):
        raise RuntimeError("can't start new thread")


@pytest.mark.parametrize("fault", ["create", "count", "width", "thread_start", "thread_init"])
def test_errors_in_start_are_caught(capture_module, fake, make_capture, log, monkeypatch,
                                    wait_until, fault):
    config = {"frames": None}
    if fault == "create":
        def refuse(index):
            raise OSError("no such device")
        config["create_hook"] = refuse
    elif fault == "count":
        config["count"] = math.inf
    elif fault == "width":
        config["width"] = object()
    source = fake(**config)
    cap = make_capture()
    with monkeypatch.context() as patch:
        if fault == "thread_start":
            patch.setattr(capture_module.threading, "Thread", FailingThread)
        elif fault == "thread_init":
            patch.setattr(capture_module.threading, "Thread", UnmakeableThread)
        assert cap.start() is False
    (level, text), = log.lines[-1:]
    assert level == "error" and text.startswith("启动视频捕获时发生错误: ")
    if fault == "create":
        assert text == "启动视频捕获时发生错误: no such device"
    if fault.startswith("thread"):
        assert text == "启动视频捕获时发生错误: can't start new thread"
    assert cap.is_running() is False and cap.cap is None
    assert [s.released for s in source.instances] == ([] if fault == "create" else [1])
    cap.stop()                                               # does not raise

    if fault.startswith("thread"):                           # the Thread class is back
        assert cap.start() is True and cap.is_running()
        assert wait_until(lambda: cap.get_frame() is not None)


def test_failed_creation_releases_the_previous_source(fake, make_capture, log):
    def refuse_later(index):
        if index:
            raise OSError("busy")
    source = fake(opens=False, create_hook=refuse_later)
    cap = make_capture()
    assert cap.start() is False
    assert cap.start() is False
    assert log.texts("error") == ["无法打开视频: fake://source", "启动视频捕获时发生错误: busy"]
    assert source.instances[0].released == 1 and cap.cap is None


def test_concurrent_starts_launch_one_worker(fake, make_capture, log):
    source = fake(frames=None, create_hook=lambda index: time.sleep(0.05))
    cap = make_capture()
    before = threading.active_count()
    barrier = threading.Barrier(4)
    results = []

    def starter():
        barrier.wait()
        results.append(cap.start())

    starters = [threading.Thread(target=starter, daemon=True) for _ in range(4)]
    for t in starters:
        t.start()
    for t in starters:
        t.join(5.0)
    assert results == [True] * 4
    assert len(source.instances) == 1
    assert len(log.texts("info")) == 1 and log.texts("warning") == ["视频捕获已经在运行中"] * 3
    assert threading.active_count() == before + 1
