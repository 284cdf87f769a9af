"""Readers of one video source in a background thread, one per package, and the measuring
tasks that bench_peers.py runs with each of them in a child process of its own.

Each reader reads the way its package's documentation gives for reading frames as fast
as it can, keeps the latest frame for the main thread and counts what it delivered:
- capture: ParallVideoCapture (its own worker thread; read back to back when the task
  sets CORVANE_VIDEO_SOURCE_KIND=live, with a file's decoder threads, paced to the clip's
  rate otherwise);
  capture-bundled: the same from a wheel, with the decoder it bundles;
- opencv: cv2.VideoCapture.read() in a loop (grab and retrieve in one call);
  opencv-debian: the same with Debian's cv2;
- pyav: container.decode() with thread_type "AUTO" (slice and frame threads), each frame
  converted with to_ndarray(format="bgr24"); on a live stream the default slice threads
  only, since frame threads hold back one frame per thread (PyAV's threading notes);
- decord: VideoReader(ctx=cpu(0)) read in consecutive batches with get_batch, one
  frame at a time with next() when paced;
- torchcodec: VideoDecoder(device="cpu") iterated frame by frame.
A reader of a file that must play in real time (the streams task) waits for each frame's
time as a user's loop would, and starts the file again at its end.

Usage (prints one JSON line): peer_readers.py TASK READER ARGS_AS_JSON
"""
import gc
import json
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

BATCH = 8  # decord's get_batch size when reading as fast as it can


def busy_chunk(seconds=0.001):
    """Pure-Python work for about `seconds`, holding the interpreter lock."""
    deadline = time.perf_counter() + seconds
    x = 0
    while time.perf_counter() < deadline:
        for i in range(200):
            x = (x * 31 + i) % 1000003
    return x


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class ThreadReader:
    """A daemon thread that runs `frames(self)`, an iterator of frames (arrays, or batches
    when `batched`), keeping the latest and counting them. While paused it takes nothing
    from the source; with `fps` it plays in real time; with `loop` it starts again at the
    end of the source."""

    def __init__(self, open_frames, fps=None, loop=False):
        self.count = 0
        self.latest = None
        self.times = []
        self.paused = False
        self.done = False
        self.error = None
        self._open = open_frames
        self._fps = fps
        self._loop = loop
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            next_at = time.monotonic()
            while not self._stop:
                for item, n in self._open():
                    while self.paused and not self._stop:
                        time.sleep(0.01)
                    if self._stop:
                        return
                    self.latest = item
                    self.count += n
                    if self._fps:
                        self.times.append(time.monotonic())
                        next_at += 1.0 / self._fps
                        delay = next_at - time.monotonic()
                        if delay > 0:
                            time.sleep(delay)
                if not self._loop:
                    return
        except Exception as e:  # reported by the task, not raised in a thread nobody joins
            self.error = reason(e)
        finally:
            self.done = True

    def start(self):
        self._thread.start()
        return self

    def delivered(self):
        return self.count

    def running(self):
        return not self.done

    def frame(self):
        return self.latest

    def publication_times(self):
        return list(self.times)

    def pause(self):
        self.paused = True

    def resume(self):
        self.paused = False

    def stop(self):
        self._stop = True
        self.paused = False
        if self._thread.ident is not None:
            self._thread.join(timeout=10)


def opencv_frames(source):
    import cv2
    capture = cv2.VideoCapture(source)
    if not capture.isOpened():
        raise RuntimeError("cv2.VideoCapture cannot open " + source)
    try:
        while True:
            ok, frame = capture.read()
            if not ok:
                return
            yield frame, 1
    finally:
        capture.release()


def pyav_frames(source, live=False):
    import av
    with av.open(source) as container:
        stream = container.streams.video[0]
        if not live:
            stream.thread_type = "AUTO"
        for frame in container.decode(stream):
            yield frame.to_ndarray(format="bgr24"), 1


def decord_frames(source, one_by_one=False):
    import decord
    reader = decord.VideoReader(source, ctx=decord.cpu(0))
    total = len(reader)
    if one_by_one:
        for _ in range(total):
            yield reader.next().asnumpy(), 1
        return
    for first in range(0, total, BATCH):
        batch = reader.get_batch(list(range(first, min(first + BATCH, total)))).asnumpy()
        yield batch[-1], len(batch)


def torchcodec_frames(source):
    from torchcodec.decoders import VideoDecoder
    decoder = VideoDecoder(source, device="cpu", seek_mode="approximate")
    for frame in decoder:
        yield frame, 1


class SilentLogger:
    def info(self, text):
        pass

    warning = error = info


class CaptureReader:
    """ParallVideoCapture with the ThreadReader's interface."""

    def __init__(self, source, loop=False):
        from corvane.plugins.video import capture
        capture.logger = SilentLogger()  # the info line of each start is not measured
        self.capture = capture.ParallVideoCapture(source, loop)

    def start(self):
        if not self.capture.start():
            raise RuntimeError("the capture cannot open its source")
        return self

    def delivered(self):
        return int(self.capture.current_frame_number)

    def running(self):
        return self.capture.is_running()

    def frame(self):
        return self.capture.get_frame()

    def publication_times(self):
        return [p[2] for p in self.capture._publication_timings()]

    def rule_rate(self, t0, t1):
        """The rate the pacing rule gives over [t0, t1]: 1 / (interval + mean read time)."""
        reads = [p[1] - p[0] for p in self.capture._publication_timings() if t0 <= p[2] <= t1]
        fps = self.capture.get_video_info()["fps"]
        return 1.0 / (1.0 / fps + sum(reads) / len(reads)) if reads else None

    def pause(self):
        self.capture.pause()

    def resume(self):
        self.capture.resume()

    def stop(self):
        self.capture.stop()


def make_reader(name, source, mode):
    """mode: "fast" (as fast as it can), "live" (a live stream), "paced" (a file played
    in real time at 25 fps, looping). A name's suffix ("opencv-debian") says which build
    of the package the process has; the reader is the same."""
    paced = mode == "paced"
    name = name.split("-")[0]
    if name == "capture":
        return CaptureReader(source, loop=paced)
    frames = {
        "opencv": lambda: opencv_frames(source),
        "pyav": lambda: pyav_frames(source, live=mode == "live"),
        "decord": lambda: decord_frames(source, one_by_one=mode != "fast"),
        "torchcodec": lambda: torchcodec_frames(source),
    }[name]
    return ThreadReader(frames, fps=25.0 if paced else None, loop=paced)


PACKAGES = {"opencv": "opencv-python-headless", "pyav": "av", "decord": "decord",
            "torchcodec": "torchcodec"}


def version(name):
    """The package and its version as installed, read without importing it (an import
    may be what fails)."""
    from importlib import metadata
    if name == "capture":
        import cv2
        return f"corvane-video (OpenCV {cv2.__version__} from Debian)"
    if name == "capture-bundled":
        return f"corvane-video {metadata.version('corvane-video')} wheel (bundled decoder)"
    if name == "opencv-debian":
        import cv2
        return f"cv2 (OpenCV {cv2.__version__} from Debian)"
    text = f"{PACKAGES[name]} {metadata.version(PACKAGES[name])}"
    if name == "torchcodec":
        try:
            text += f" (torch {metadata.version('torch')})"
        except metadata.PackageNotFoundError:
            text += " (torch not installed)"
    return text


class ReaderFailed(Exception):
    """A reader gave no frame; the text says why."""


def started(reader, timeout=10.0):
    reader.start()
    deadline = time.monotonic() + timeout
    while reader.delivered() == 0 and reader.running() and time.monotonic() < deadline:
        time.sleep(0.0005)
    error = getattr(reader, "error", None)
    if reader.delivered() == 0:
        raise ReaderFailed(error or "no frame within %.0f s" % timeout)
    return reader


def task_fps(name, args):
    """Frames per second from the first frame until the end of the clip or the window,
    main thread idle then busy, once per clip."""
    out = {}
    for path in args["paths"]:
        for busy in (False, True):
            reader = started(make_reader(name, path, "fast"))
            try:
                t0, n0 = time.monotonic(), reader.delivered()
                while reader.running() and time.monotonic() - t0 < args["window"]:
                    if busy:
                        busy_chunk()
                    else:
                        time.sleep(0.001)
                rate = (reader.delivered() - n0) / (time.monotonic() - t0)
            finally:
                reader.stop()
            out[f"{os.path.basename(path)}:{'busy' if busy else 'idle'}"] = rate
    return out


def task_age(name, args):
    """Samples (time, frame) of the latest frame while playing, and after a pause; the
    caller turns frames into ages with the server's feed times."""
    import clips
    import random
    reader = started(make_reader(name, args["url"], "live"), timeout=15.0)
    began = time.monotonic()

    def sample(until):
        out = []
        while time.monotonic() < until:
            time.sleep(random.uniform(0.01, 0.06))
            frame = reader.frame()
            if frame is not None:
                out.append((time.monotonic(), clips.frame_index(frame)))
        return out

    try:
        time.sleep(max(0.0, began + args["play"] - 1.0 - time.monotonic()))
        playing = sample(began + args["play"])
        reader.pause()
        time.sleep(args["pause"])
        reader.resume()
        resumed = time.monotonic()
        time.sleep(args["after"] - 0.25)
        after = sample(resumed + args["after"] + 0.25)
    finally:
        reader.stop()
    return {"playing": playing, "after": after}


def task_streams(name, args):
    """`count` readers of a 25 fps clip in real time; the main thread ticks at 25 Hz,
    takes every reader's latest frame and spends the rest of each tick in pure Python.
    Returns each stream's rate over the window."""
    readers = [make_reader(name, args["path"], "paced") for _ in range(args["count"])]
    try:
        for r in readers:
            started(r)
        end_warmup = time.monotonic() + args["warmup"]
        while time.monotonic() < end_warmup:
            busy_chunk()
        t0 = time.monotonic()
        next_tick = t0
        while time.monotonic() - t0 < args["seconds"]:
            for r in readers:
                r.frame()
            next_tick += 0.04
            while time.monotonic() < next_tick:
                busy_chunk(0.0005)
        t1 = time.monotonic()
        rates, rule_shares = [], []
        for r in readers:
            times = [t for t in r.publication_times() if t0 <= t <= t1]
            rates.append((len(times) - 1) / (t1 - t0) if len(times) > 1 else 0.0)
            if hasattr(r, "rule_rate"):
                rule = r.rule_rate(t0, t1)
                rule_shares.append(rates[-1] / rule if rule else 0.0)
        out = {"rates": rates}
        if rule_shares:
            out["rule_share"] = min(rule_shares)
        return out
    finally:
        for r in readers:
            r.stop()


def task_memory(name, args):
    """Resident memory per open stream: one stream playing first (the package's own
    one-time cost), then `count` more, all playing; the growth divided by `count`."""
    first = started(make_reader(name, args["path"], "paced"))
    readers = [first]
    try:
        time.sleep(1.0)
        gc.collect()
        base = rss_bytes()
        for _ in range(args["count"]):
            readers.append(started(make_reader(name, args["path"], "paced")))
        time.sleep(2.0)
        for r in readers:
            r.frame()
        gc.collect()
        return {"per_stream_bytes": (rss_bytes() - base) / args["count"]}
    finally:
        for r in readers:
            r.stop()


def _ffmpeg_cpus(name):
    """av_cpu_count() of the FFmpeg that `name` decodes with, or None where its symbols
    cannot be reached (a decoder linked in statically, with its symbols hidden). A package
    without FFmpeg libraries of its own (a distribution's python3-av or python3-opencv)
    decodes with the system's."""
    import ctypes
    import ctypes.util
    import glob
    import site
    packages = {"capture": None, "opencv-debian": None, "opencv": "opencv_python_headless", "pyav": "av"}
    if name not in packages:
        return None
    package = packages[name]
    own = [f for d in site.getsitepackages() for f in glob.glob(f"{d}/{package}*.libs/libavutil*")
           ] if package else []
    path = own[0] if own else ctypes.util.find_library("avutil")
    return ctypes.CDLL(path).av_cpu_count() if path else None


def cpus_seen(name):
    """How many processors the reader's OpenCV and FFmpeg count, and how many CPU-count
    calls the preloaded library of a pretended machine answered (bench_peers.with_cpus)."""
    import ctypes
    out = {"answered": None, "opencv": None}
    answered = getattr(ctypes.CDLL(None), "corvane_fake_cpus_answered", None)
    if answered is not None:  # first: the counts below ask it too
        answered.restype = ctypes.c_long
        out["answered"] = answered()
    out["ffmpeg"] = _ffmpeg_cpus(name)
    if name in ("capture", "opencv", "opencv-debian"):  # the bundled OpenCV hides its symbols
        import cv2
        out["opencv"] = cv2.getNumberOfCPUs()
    return out


def task_tick_age(name, args):
    """The latest frame of a live stream at a `tick` Hz tick for `seconds` after `warmup`:
    (time, frame index) of each tick, for the caller to turn into ages."""
    import clips
    reader = started(make_reader(name, args["url"], "live"), timeout=15.0)
    samples = []
    try:
        time.sleep(args["warmup"])
        next_tick = time.monotonic()
        end = next_tick + args["seconds"]
        while next_tick < end:
            next_tick += 1.0 / args["tick"]
            time.sleep(max(0.0, next_tick - time.monotonic()))
            frame = reader.frame()
            if frame is not None:
                samples.append((time.monotonic(), clips.frame_index(frame)))
    finally:
        reader.stop()
    return {"samples": samples, "cpus": cpus_seen(name)}


TASKS = {"tick_age": task_tick_age, "fps": task_fps, "age": task_age, "streams": task_streams, "memory": task_memory}


def reason(error):
    """The innermost cause of `error`, on one line: what a reader could not do and why."""
    while error.__cause__ is not None:
        error = error.__cause__
    text = str(error).splitlines()[0] if str(error) else ""
    return text if isinstance(error, ReaderFailed) else f"{type(error).__name__}: {text}"


def main():
    task, name, args = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    if task == "fps":
        # The capture reads back to back, with the decoder threads a file gets (OpenCV's
        # default): the live kind only lifts the pacing here, not the decoder's threading.
        os.environ["CORVANE_VIDEO_SOURCE_KIND"] = "live"
        os.environ["CORVANE_VIDEO_DECODER_THREADS"] = "0"
    out = {"version": version(name)}
    try:
        out.update(TASKS[task](name, args))
    except Exception as e:
        out["error"] = reason(e)
    print(json.dumps(out), flush=True)
    # A reader thread stuck in its package (a stream that never ends) must not hold the
    # process: its result is out.
    os._exit(0)


if __name__ == "__main__":
    main()
