"""Clips of every kind a camera, a phone or a stream produces, made at test time by the ffmpeg
command line (and OpenCV's own MJPEG writer for grey JPEG) from frames that encode their own
index (clips.make_frame).

Each case names how its clip is made and how its frames are compared with cv2's: exactly, or
within a tolerance where two builds of FFmpeg convert the same decoded picture differently.

Where the test environment cannot run ffmpeg (a sandbox that hides the machine's FFmpeg, a
minimal Debian root), the clips are made beforehand by this file run as a script, and the test
finds them through CORVANE_CONFORMANCE_CLIPS:
    python3 conformance_clips.py OUT_DIR
"""
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if os.path.dirname(HERE) not in sys.path:
    sys.path.insert(0, os.path.dirname(HERE))

import clips  # noqa: E402

FPS = 100  # a file's pace: fast enough for a short test, slow enough for a reader to keep up
LIVE_FPS = 25
X264 = ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-bf", "0"]
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error:keyint=15"]


class Case:
    """One clip. `kind` is "file" or "live"; `seeks` are positions to seek to while paused;
    `tolerance` is the mean absolute difference per channel allowed where the capture and cv2
    decode with different FFmpeg builds (None: always exact), or with the same build too where
    `any_decoder`; `why` says what differs."""

    def __init__(self, name, make, ext=".mp4", seeks=(), tolerance=None, why="", kind="file",
                 any_decoder=False):
        self.name, self.make, self.ext, self.seeks = name, make, ext, tuple(seeks)
        self.tolerance, self.why, self.kind = tolerance, why, kind
        self.any_decoder = any_decoder

    def __repr__(self):
        return self.name


def ffmpeg_runs(ffmpeg="ffmpeg"):
    path = shutil.which(ffmpeg)
    if not path:
        return False
    try:
        return subprocess.run([path, "-version"], capture_output=True, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def encode(path, out_args, frames, size, first=0, fps=FPS, input_args=()):
    """Encode frames first .. first + frames - 1 at `size` into `path` with ffmpeg."""
    command = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *input_args,
               "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", "%dx%d" % size, "-r", str(fps),
               "-i", "-", *out_args, path]
    data = b"".join(clips.make_frame(i, *size).tobytes() for i in range(first, first + frames))
    subprocess.run(command, input=data, check=True, capture_output=True, timeout=300)
    return path


def segments(path, parts, codec=X264, fps=FPS):
    """One MPEG-TS file of several encoded segments laid end to end, byte for byte, as a
    stream whose parameters change part-way: each part is (frames, size, extra ffmpeg output
    arguments). Frame indices run on across the parts. Also writes each part to its own file
    (path.0.ts, ...), which the live sender paces one by one."""
    first = 0
    with open(path, "wb") as joined:
        for n, (frames, size, extra) in enumerate(parts):
            part = "%s.%d.ts" % (path, n)
            encode(part, [*codec, *extra, "-f", "mpegts"], frames, size, first, fps)
            with open(part, "rb") as f:
                joined.write(f.read())
            first += frames
    return path


def size_change(a, b, codec=X264, frames=30, fps=FPS):
    return lambda path: segments(path, [(frames, a, []), (frames, b, [])], codec, fps)


def pix_fmt_change(path):
    return segments(path, [(30, (320, 240), ["-pix_fmt", "yuv420p"]),
                           (30, (320, 240), ["-pix_fmt", "yuv444p"])])


def interlace_change(path):
    return segments(path, [(30, (320, 240), ["-pix_fmt", "yuv420p"]),
                           (30, (320, 240), ["-pix_fmt", "yuv420p", "-flags", "+ildct+ilme"])])


def rotated(degrees):
    def make(path):
        plain = encode(path + ".plain.mp4", [*X264, "-pix_fmt", "yuv420p"], 30, (320, 240))
        # FFmpeg 6 and later take the display matrix as an input option; FFmpeg 5 writes it
        # from the "rotate" tag.
        newer = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                 "-display_rotation", str(-degrees), "-i", plain, "-c", "copy", path]
        older = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", plain, "-c", "copy",
                 "-metadata:s:v:0", "rotate=%d" % degrees, path]
        if subprocess.run(newer, capture_output=True, timeout=60).returncode != 0:
            subprocess.run(older, check=True, capture_output=True, timeout=60)
        return path
    return make


def plain(out_args, size=(320, 240), frames=40):
    return lambda path: encode(path, out_args, frames, size)


def corrupted(path):
    """An H.264 stream with a run of random bytes over its middle, as a lossy link leaves it."""
    encode(path, [*X264, "-pix_fmt", "yuv420p", "-f", "mpegts"], 60, (320, 240))
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        rng = random.Random(27)
        # Whole TS packets keep the demuxer in step; the bytes after each header are noise.
        start = (len(data) // 2) // 188 * 188
        for packet in range(start, start + 188 * 6, 188):
            data[packet + 4:packet + 188] = bytes(rng.randrange(256) for _ in range(184))
        f.seek(0)
        f.write(data)
    return path


def truncated(path):
    """An MP4 cut off part-way, as a recording whose writer died leaves it (index first)."""
    whole = encode(path + ".whole.mp4", [*X264, "-pix_fmt", "yuv420p", "-movflags", "+faststart"],
                   60, (320, 240))
    with open(whole, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:len(data) * 6 // 10])
    return path


def grey_mjpeg(path):
    """Motion JPEG of one-channel pictures, as monochrome machine-vision cameras send it:
    grey JPEG files written by OpenCV, put into AVI by ffmpeg without re-encoding."""
    import cv2
    folder = path + ".frames"
    os.makedirs(folder, exist_ok=True)
    for i in range(40):
        cv2.imwrite(os.path.join(folder, "%03d.jpg" % i), clips.make_frame(i, 320, 240)[:, :, 0])
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-framerate", str(FPS),
                    "-i", os.path.join(folder, "%03d.jpg"), "-c", "copy", path],
                   check=True, capture_output=True, timeout=60)
    shutil.rmtree(folder)
    return path


CONCEALED = ("the decoder fills rejected macroblocks from neighbouring pictures, and which ones "
             "it has at hand depends on its threads' timing: cv2 itself differs from run to run")
FUZZ_INPUTS = os.path.join(HERE, "fuzz_inputs")


def kept(name):
    """An input the decoding fuzzer (make fuzz) found, kept as it was found: a VP8 stream with
    no average frame rate, on which OpenCV negates the smallest 64-bit integer; H.264 4:4:4
    whose conversion ran past the fuzzer's time limit under the sanitizers; H.264 with
    macroblocks the decoder rejects."""
    def make(path):
        shutil.copyfile(os.path.join(FUZZ_INPUTS, name), path)
        return path
    return make


TEN_BIT = ("FFmpeg builds of different versions convert 10-bit pictures to 8-bit BGR "
           "differently (rounding and dithering), by less than one level on average")
SCALED = ("after a size change the picture is scaled to the stream's first size, and FFmpeg "
          "builds of different versions scale with slightly different filters")

CASES = [
    Case("h264-640x480-to-320x240", size_change((640, 480), (320, 240)), ".ts", tolerance=3.0,
         why=SCALED),
    Case("h264-320x240-to-640x480", size_change((320, 240), (640, 480)), ".ts", tolerance=3.0,
         why=SCALED),
    Case("h264-640x480-to-640x360", size_change((640, 480), (640, 360)), ".ts", tolerance=3.0,
         why=SCALED),
    Case("h264-640x480-to-330x250", size_change((640, 480), (330, 250)), ".ts", tolerance=3.0,
         why=SCALED),
    Case("hevc-640x480-to-480x272", size_change((640, 480), (480, 272), X265), ".ts", tolerance=3.0,
         why=SCALED),
    Case("h264-420-to-444", pix_fmt_change, ".ts"),
    Case("h264-progressive-to-interlaced", interlace_change, ".ts"),
    Case("h264-live-320x240-to-160x120", size_change((320, 240), (160, 120), frames=75, fps=LIVE_FPS), ".ts", kind="live",
         tolerance=3.0, why=SCALED),
    *[Case("h264-rotate-%d" % d, rotated(d)) for d in (90, 180, 270)],
    Case("h264-bframes-seek", plain([*X264[:-2], "-bf", "3", "-pix_fmt", "yuv420p"], frames=48),
         seeks=(0, 17, 30, 5, 47)),
    Case("h264-422", plain([*X264, "-pix_fmt", "yuv422p"])),
    Case("h264-444", plain([*X264, "-pix_fmt", "yuv444p"])),
    Case("hevc-10bit", plain([*X265, "-pix_fmt", "yuv420p10le"]), tolerance=2.0, why=TEN_BIT),
    Case("mjpeg", plain(["-c:v", "mjpeg", "-q:v", "3", "-pix_fmt", "yuvj422p"]), ".avi"),
    Case("mjpeg-grey", grey_mjpeg, ".avi"),
    Case("vp8", plain(["-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v",
                       "1M"]), ".webm"),
    Case("vp9", plain(["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v",
                       "1M"]), ".webm"),
    Case("h264-corrupted", corrupted, ".ts"),
    Case("h264-truncated-mp4", truncated),
    Case("ffv1-odd-161x121", plain(["-c:v", "ffv1"], size=(161, 121)), ".mkv"),
    Case("mjpeg-odd-161x121", plain(["-c:v", "mjpeg", "-q:v", "3", "-pix_fmt", "yuvj420p"],
                                    size=(161, 121)), ".avi"),
    Case("found-vp8-no-average-rate", kept("vp8-no-average-rate.ivf"), ".ivf"),
    Case("found-h264-444-slow-conversion", kept("h264-444-slow-conversion.mov"), ".mov"),
    Case("found-h264-444-bad-macroblocks", kept("h264-444-bad-macroblocks.mkv"), ".mkv",
         tolerance=1.0, why=CONCEALED, any_decoder=True),
]

def clip_path(directory, case):
    return os.path.join(directory, case.name + case.ext)


def make_clip(directory, case):
    """The clip of `case` in `directory`, made unless it is there already. It is made in a
    folder of its own and moved in when finished, so an interrupted run leaves no half clip."""
    path = clip_path(directory, case)
    if not os.path.exists(path):
        work = os.path.join(directory, ".making-" + case.name)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        case.make(os.path.join(work, os.path.basename(path)))
        for made in sorted(os.listdir(work), key=len, reverse=True):  # the clip itself last
            os.replace(os.path.join(work, made), os.path.join(directory, made))
        os.rmdir(work)
    return path


if __name__ == "__main__":
    for c in CASES:
        print(make_clip(sys.argv[1], c))
