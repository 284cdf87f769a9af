"""Live test sources: an ffmpeg process on 127.0.0.1 fed in real time with frames that
encode their own index (clips.make_frame), so a reader can tell how old a frame is.

A feeder thread writes frame i at start + i / fps and notes when; the age of a frame a
reader holds is then the time since its index was fed. Every server is bounded: the feeder
stops after `seconds`, which ends ffmpeg, and stop() kills whatever is left.
"""
import socket
import subprocess
import threading
import time

import clips

WIDTH, HEIGHT = 160, 120

# name -> (ffmpeg output arguments, source string a reader opens); {port} is filled in.
FORMATS = {
    "mjpeg-http": (["-c:v", "mjpeg", "-q:v", "5", "-f", "mpjpeg", "-listen", "1",
                    "http://127.0.0.1:{port}/cam.mjpg"], "http://127.0.0.1:{port}/cam.mjpg"),
    "mpegts-http": (["-c:v", "mpeg2video", "-q:v", "4", "-g", "10", "-f", "mpegts", "-listen", "1",
                     "http://127.0.0.1:{port}/cam.ts"], "http://127.0.0.1:{port}/cam.ts"),
    "mpegts-udp": (["-c:v", "mpeg2video", "-q:v", "4", "-g", "10", "-f", "mpegts",
                    "udp://127.0.0.1:{port}?pkt_size=1316"], "udp://127.0.0.1:{port}"),
    # An H.264 camera: x264 tuned for zero latency (no B-frames, no lookahead), a keyframe
    # every second so a reader can join at any time.
    "h264-udp": (["-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "30",
                  "-pix_fmt", "yuv420p", "-f", "mpegts", "udp://127.0.0.1:{port}?pkt_size=1316"],
                 "udp://127.0.0.1:{port}"),
}


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LiveServer:
    """An ffmpeg server of `fmt` fed at `fps` for at most `seconds`, `size` (width, height)
    pixels a frame."""

    def __init__(self, fmt, fps=30.0, seconds=30.0, port=None, first_index=0,
                 size=(WIDTH, HEIGHT)):
        out_args, url = FORMATS[fmt]
        kind = socket.SOCK_DGRAM if fmt.endswith("udp") else socket.SOCK_STREAM
        self.port = port or free_port(kind)
        self.url = url.format(port=self.port)
        self.fps = fps
        self.size = size
        self.sent_at = {}  # frame index -> monotonic time it was fed
        self._stopping = threading.Event()
        self.process = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error",
             "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", "%dx%d" % size, "-r", str(fps),
             "-i", "-", "-flush_packets", "1"] + [a.format(port=self.port) for a in out_args],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._feeder = threading.Thread(target=self._feed, args=(seconds, first_index),
                                        daemon=True)
        self._feeder.start()
        if kind == socket.SOCK_STREAM:
            self._wait_listening()

    def _wait_listening(self, timeout=5.0):
        # ffmpeg serves one client only, so readiness is read from the kernel's socket
        # table instead of by connecting.
        entry = "0100007F:%04X" % self.port
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            with open("/proc/net/tcp") as table:
                if any(f[1] == entry and f[3] == "0A" for f in map(str.split, table)):
                    return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("ffmpeg did not listen on port %d" % self.port)

    def _feed(self, seconds, first_index):
        start = time.monotonic()
        n = 0
        try:
            while not self._stopping.is_set() and time.monotonic() - start < seconds:
                self._stopping.wait(max(0.0, start + n / self.fps - time.monotonic()))
                index = first_index + n
                image = clips.make_frame(index, *self.size).tobytes()
                self.sent_at[index] = time.monotonic()
                self.process.stdin.write(image)
                self.process.stdin.flush()
                n += 1
        except (BrokenPipeError, ValueError, OSError):
            pass
        finally:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def age(self, frame):
        """Seconds since the frame `frame` shows was fed to this server; None for a frame it
        never fed."""
        sent = self.sent_at.get(clips.frame_index(frame))
        return None if sent is None else time.monotonic() - sent

    def stop(self):
        """Kill the sender at once (a camera that dies) and wait for it."""
        self._stopping.set()
        self.process.kill()
        self.process.wait(timeout=5)
        self._feeder.join(timeout=5)
