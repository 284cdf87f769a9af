"""Every frame the capture publishes is the frame a plain cv2 loop decodes at that number, on
clips of every kind cameras, phones and streams produce (conformance_clips.CASES), streams
whose size or pixel format changes part-way among them, in files and on a live stream over
loopback.

The reference is read with the capture's own OpenCV and FFmpeg wherever this environment has
a cv2 over them (decoders.reference_frames), and frames must then be equal. Where only a
build of its own is at hand (a wheel's cv2 beside the bundled decoder), a case may allow a small mean difference, and says why;
on aarch64 every case allows the small differences of FFmpeg's YUV conversions there. A stale frame, one of an earlier part of
the stream, differs from the right one by whole blocks of the index pattern: far beyond any
tolerance here."""
import os
import platform
import socket
import sys
import threading
import time

import cv2
import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import clips  # noqa: E402
import conformance_clips  # noqa: E402
from conformance_clips import CASES  # noqa: E402
from decoders import reference_frames, reference_is_the_captures_decoder  # noqa: E402

SAME_DECODER = reference_is_the_captures_decoder()
# On aarch64 FFmpeg's YUV to BGR conversion changed between versions (newer ones have NEON
# kernels of their own): the same decoded picture comes out a level or two apart here and there,
# under a tenth of a level on average in our clips. A frame of another part of the stream
# differs by whole blocks of the index pattern, far beyond this.
OTHER_CONVERTER = None if SAME_DECODER or platform.machine() != "aarch64" else (0.5, 3)


@pytest.fixture(scope="module")
def clip_folder(tmp_path_factory):
    made = os.environ.get("CORVANE_CONFORMANCE_CLIPS")
    if made:
        return made
    if not conformance_clips.ffmpeg_runs():
        pytest.skip("the clips need the ffmpeg command, or CORVANE_CONFORMANCE_CLIPS")
    return str(tmp_path_factory.mktemp("conformance"))


def clip_of(folder, case):
    path = conformance_clips.clip_path(folder, case)
    if os.environ.get("CORVANE_CONFORMANCE_CLIPS"):
        assert os.path.exists(path), "clip not made beforehand: " + path
        return path
    return conformance_clips.make_clip(folder, case)


def difference(a, b):
    return float(np.abs(a.astype(np.int16) - b.astype(np.int16)).mean())


def assert_same_frame(case, got, expected, where):
    assert got.dtype == expected.dtype and got.shape == expected.shape, \
        (where, got.shape, expected.shape)
    if case.tolerance is None and OTHER_CONVERTER:
        mean, largest = OTHER_CONVERTER
        assert difference(got, expected) <= mean, (where, difference(got, expected))
        assert int(np.abs(got.astype(np.int16) - expected.astype(np.int16)).max()) <= largest
    elif case.tolerance is None or (SAME_DECODER and not case.any_decoder):
        assert np.array_equal(got, expected), (where, difference(got, expected))
    else:
        assert difference(got, expected) <= case.tolerance, (where, difference(got, expected),
                                                              case.why)


def publications(capture_module, source, until):
    """{number: frame} of every publication seen while the capture runs (or until `until()`
    turns true), read as a tree would: wait for a new frame and take it with its number in one call."""
    cap = capture_module.ParallVideoCapture(source, False)
    seen = {}
    try:
        assert cap.start()
        while cap.is_running() and not until():
            info, frame = cap.get_frame_with_info(True, 0.5)
            if frame is not None:
                seen.setdefault(info.number, frame)
    finally:
        cap.stop()
    return seen


@pytest.mark.parametrize("case", [c for c in CASES if c.kind == "file"], ids=repr)
def test_every_publication_is_the_frame_cv2_decodes(capture_module, clip_folder, case):
    path = clip_of(clip_folder, case)
    expected = reference_frames(path)
    assert len(expected) >= 20, "cv2 decodes too little of " + path
    seen = publications(capture_module, path, until=lambda: False)
    # Nothing beyond what cv2 decodes: a capture that goes on where a read failed publishes
    # frames that are not there.
    assert seen and max(seen) <= len(expected), (sorted(seen)[-3:], len(expected))
    assert len(seen) >= len(expected) // 2, (len(seen), len(expected))
    for number, frame in seen.items():
        assert_same_frame(case, frame, expected[number - 1], number)
    if "-to-" in case.name and len(expected) > 30:
        assert max(seen) > 31, "nothing published after the change"
    if case.seeks:
        check_seeks(capture_module, path, case)


def check_seeks(capture_module, path, case):
    reader = cv2.VideoCapture(path)
    cap = capture_module.ParallVideoCapture(path, False)
    try:
        assert cap.start()
        cap.pause()  # only the seeks publish
        for position in case.seeks:
            assert reader.set(cv2.CAP_PROP_POS_FRAMES, position)
            ok, expected = reader.read()
            assert ok
            assert cap.seek(position)
            number, frame = cap.get_frame_with_number()
            assert number == position
            assert_same_frame(case, frame, expected, "seek %d" % position)
    finally:
        cap.stop()
        reader.release()


class PacedSender:
    """Sends MPEG-TS files over UDP to 127.0.0.1 as a camera would, each spread evenly over
    `seconds_each`, in 1316-byte datagrams (seven TS packets), after `delay` seconds; bounded
    by the files' length."""

    def __init__(self, files, seconds_each, delay):
        self.files, self.seconds_each, self.delay = files, seconds_each, delay
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.send, daemon=True)
        self.thread.start()

    def send(self):
        if self.stopping.wait(self.delay):
            return
        for path in self.files:
            with open(path, "rb") as f:
                data = f.read()
            chunks = [data[i:i + 1316] for i in range(0, len(data), 1316)]
            start = time.monotonic()
            for n, chunk in enumerate(chunks):
                if self.stopping.wait(max(0.0, start + n * self.seconds_each / len(chunks)
                                          - time.monotonic())):
                    return
                self.sock.sendto(chunk, ("127.0.0.1", self.port))

    def done(self):
        return not self.thread.is_alive()

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.sock.close()


@pytest.mark.parametrize("case", [c for c in CASES if c.kind == "live"], ids=repr)
def test_a_live_stream_that_changes_size_shows_each_part(capture_module, clip_folder, case,
                                                         monkeypatch):
    monkeypatch.setenv("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "5000")
    monkeypatch.setenv("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "2000")
    path = clip_of(clip_folder, case)
    parts = [path + ".0.ts", path + ".1.ts"]
    per_part = 75 / conformance_clips.LIVE_FPS
    # cv2 of this environment on the whole file, by the index each frame shows.
    expected = reference_frames(path)
    by_index = {i: f for i, f in enumerate(expected) if clips.frame_index(f) == i}
    # The capture opens, and waits for the stream, before the first datagram: it sees the
    # stream from its first keyframe on, as cv2 sees the file. A reader that joins part-way
    # decodes its first frames without their references, which no file decode shows.
    sender = PacedSender(parts, per_part, delay=1.0)
    try:
        seen = publications(capture_module, "udp://127.0.0.1:%d" % sender.port,
                            until=sender.done)
    finally:
        sender.stop()
    # Publications in order, by the index each shows: a live source is numbered from where
    # the capture joined it, not as the file is.
    shown = [(clips.frame_index(frame), frame) for _, frame in sorted(seen.items())]
    if len(by_index) < len(expected):
        # The capture's OpenCV itself gives no right frame after the change (the system's
        # OpenCV converts every frame with the settings it made for the first); what the
        # capture shows there cannot be told from cv2's, so only the first part is compared.
        last = -1
        for index, frame in shown:
            if index <= last or index not in by_index:
                break  # the first part has ended
            assert_same_frame(case, frame, by_index[index], index)
            last = index
        assert last >= 10, [i for i, _ in shown]
        pytest.skip("the capture's OpenCV decodes no right frame after a size change")
    assert len(shown) >= 10, [i for i, _ in shown]
    for index, frame in shown:
        assert index in by_index, "a frame cv2 does not decode: %d" % index
        assert_same_frame(case, frame, by_index[index], index)
    assert any(i >= 75 for i, _ in shown), "nothing published after the change"
