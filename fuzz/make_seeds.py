"""The fuzzer's seeds: the frame-conformance clips, each also re-muxed without re-encoding into
every container the bundled decoder reads that takes its codec, and small clips of the other
codecs it decodes. Made with the machine's ffmpeg; kept under MAX_BYTES each, since the fuzzer
mutates whole files.
    usage: python3 make_seeds.py OUT_DIR"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python", "conformance"))

import conformance_clips  # noqa: E402

MAX_BYTES = 96 * 1024
# Container -> the codecs it carries, as far as the bundled decoder's demuxers go.
CONTAINERS = {
    "mkv": None, "mp4": {"h264", "hevc", "mpeg4", "mjpeg", "vp9"}, "mov": None,
    "avi": {"h264", "mpeg4", "mjpeg", "ffv1", "mpeg2video", "rawvideo"},
    "ts": {"h264", "hevc", "mpeg2video", "mpeg4"}, "flv": {"h264"}, "ivf": {"vp8", "vp9"},
    "h264": {"h264"}, "hevc": {"hevc"}, "m4v": {"mpeg4"}, "mjpeg": {"mjpeg"},
    "mpg": {"mpeg2video"}, "m2v": {"mpeg2video"},
}
# Small clips of the codecs the conformance clips do not use: (name, size, ffmpeg arguments).
EXTRA = [
    ("mpeg4", (64, 48), ["-c:v", "mpeg4", "-bf", "2", "-g", "6"]),
    ("mpeg2", (64, 48), ["-c:v", "mpeg2video", "-bf", "2", "-g", "6"]),
    ("h263", (128, 96), ["-c:v", "h263"]),
    ("png", (64, 48), ["-c:v", "png"]),
    ("raw", (32, 24), ["-c:v", "rawvideo", "-pix_fmt", "yuv420p"]),
    ("h264-small", (64, 48), [*conformance_clips.X264, "-pix_fmt", "yuv420p"]),
    ("hevc-small", (64, 48), conformance_clips.X265),
]


def codec_of(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                           "stream=codec_name", "-of", "csv=p=0", path],
                          capture_output=True, text=True)
    return done.stdout.strip().split(",")[0]


def remux(path, out_dir):
    codec = codec_of(path)
    stem = os.path.splitext(os.path.basename(path))[0]
    for container, codecs in CONTAINERS.items():
        if codecs is not None and codec not in codecs:
            continue
        target = os.path.join(out_dir, "%s.%s" % (stem, container))
        if os.path.exists(target):
            continue
        done = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", path,
                               "-map", "0:v:0", "-c", "copy", target], capture_output=True)
        if done.returncode != 0 or os.path.getsize(target) > MAX_BYTES:
            if os.path.exists(target):
                os.remove(target)


def main(out_dir):
    clip_dir = os.path.join(out_dir, "clips")
    made = [conformance_clips.make_clip(clip_dir, case) for case in conformance_clips.CASES]
    for name, size, args in EXTRA:
        path = os.path.join(clip_dir, name + (".avi" if name in ("raw", "png") else ".mkv"))
        if not os.path.exists(path):
            conformance_clips.encode(path, args, 8, size)
        made.append(path)
    seeds = os.path.join(out_dir, "seeds")
    os.makedirs(seeds, exist_ok=True)
    for path in made:
        remux(path, seeds)
    print("%d seeds in %s" % (len(os.listdir(seeds)), seeds))


if __name__ == "__main__":
    main(sys.argv[1])
