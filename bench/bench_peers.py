"""The capture against the readers users install: opencv-python-headless, PyAV, decord
and torchcodec, side by side in one run on the same clips and the same live stream.

Every measurement runs one reader in a child process of its own (peer_readers.py): the
packages bring their own FFmpeg builds, and importing PyAV changes FFmpeg's log callback
for the whole process. The capture runs under Debian's Python with the built module on
PYTHONPATH, the packages in the benchmark environment (build/bench-venv, made by
bench/make_venv.sh); both are CPython 3.11. Readers take turns within each round and the
figures are medians over the rounds, so a change of the machine's load falls on all of
them alike. A reader that cannot do a task keeps the reason it gave.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python", "live"))

import clipgen  # noqa: E402
from measure import median  # noqa: E402

BUILD = os.path.join(HERE, "..", "build")
VENV_PYTHON = os.path.join(os.environ.get("CORVANE_BENCH_VENV", os.path.join(BUILD, "bench-venv")),
                           "bin", "python")
# The capture from a wheel with its bundled decoder, in an environment of its own
# (bench/make_venv.sh --wheel); absent until a wheel for this Python has been built.
BUNDLED_PYTHON = os.path.join(os.environ.get("CORVANE_BUNDLED_VENV", os.path.join(BUILD, "bench-venv-bundled")),
                              "bin", "python")
FAKE_CPUS_LIB = os.path.join(BUILD, "bench", "libcorvane_fake_cpus.so")
READERS = ("capture", "capture-bundled", "opencv", "pyav", "decord", "torchcodec")
CAPTURES = ("capture", "capture-bundled")
FPS_ONLY = ("capture-bundled",)  # measured in the decode-rate rows only
NAMES = {"capture": "capture", "opencv": "opencv-python-headless", "pyav": "PyAV",
         "decord": "decord", "torchcodec": "torchcodec", "capture-bundled": "corvane-video wheel, bundled decoder",
         "opencv-debian": "cv2 reader thread, Debian's OpenCV"}
# Readers that run under this interpreter (Debian's, with the built module), and the one
# that runs in the bundled decoder's environment; every other in the benchmark environment.
OWN_PYTHON = ("capture", "opencv-debian")

FPS_ROUNDS = 3
FPS_WINDOW = 2.0
AGE_ROUNDS = 2
PLAY, PAUSE, AFTER = 8.0, 3.0, 2.0
STREAM_COUNTS = (2, 4, 6, 8, 10, 12, 14, 16, 20, 24, 28, 32)
STREAM_SECONDS, STREAM_WARMUP = 4.0, 1.5
FULL_RATE = 24.0
RULE_SHARE = 0.96  # of 1 / (frame interval + read time), the capture's paced rate
MEMORY_ROUNDS = 2
MEMORY_STREAMS = 4


def with_cpus(count, command, workdir):
    """`command` run so that it sees `count` processors on this machine's cores: in a mount
    namespace of its own (unshare -m, as root) the kernel's CPU-count files and the cgroup's
    cpuset say 0-(count-1), and the preloaded bench/fake_cpus.cpp answers the C library's CPU-count
    calls. The command keeps the process (unshare, sh and env exec it), so a timeout
    kills the command itself."""
    cpus = os.path.join(workdir, f"cpus-{count}")
    with open(cpus, "w") as f:
        f.write(f"0-{count - 1}\n")
    # OpenCV also reads the cgroup's cpuset (version 1), where the machine has one.
    script = ('for f in /sys/devices/system/cpu/online /sys/devices/system/cpu/possible '
              '/sys/devices/system/cpu/present /sys/fs/cgroup/cpuset/cpuset.cpus; do '
              '[ -e "$f" ] || continue; mount --bind "$0" "$f" || exit 1; done; exec "$@"')
    return (["unshare", "-m", "sh", "-c", script, cpus, "env", f"LD_PRELOAD={FAKE_CPUS_LIB}",
             f"CORVANE_FAKE_CPUS={count}"] + command)


def child(task, name, args, timeout, cpus=None):
    """One task of one reader in a child process, seeing `cpus` processors if given; its
    JSON result, or an error."""
    python = (sys.executable if name in OWN_PYTHON else BUNDLED_PYTHON if name == "capture-bundled"
              else VENV_PYTHON)
    if not os.path.exists(python):
        return {"error": ("no wheel for this Python: run make wheel first" if name == "capture-bundled"
                          else "the benchmark environment is missing (make bench creates it)")}
    command = [python, os.path.join(HERE, "peer_readers.py"), task, name, json.dumps(args)]
    env = dict(os.environ)
    if name == "capture-bundled":
        env.pop("PYTHONPATH", None)  # the wheel's module, not the build folder's
    if cpus is not None:
        if os.geteuid() != 0:
            return {"error": f"seeing {cpus} CPUs needs a mount namespace, so root"}
        command = with_cpus(cpus, command, os.path.join(BUILD, "bench"))
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {timeout:.0f} s"}
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        # What it said last tells why: a crash, or a with_cpus step (unshare, mount) that failed.
        said = done.stderr.strip().splitlines()
        return {"error": f"the reader's process ended without a result (exit status {done.returncode})"
                         + (f": {said[-1].strip()}" if said else "")}


class Results:
    """Per reader: version, the first error of each task, and the samples of each figure."""

    def __init__(self, readers=READERS):
        self.version = {}
        self.error = {}  # (reader, task) -> the reason it gave
        self.samples = {name: {} for name in readers}

    def usable(self, name, task):
        return (name, task) not in self.error

    def take(self, name, task, out):
        """The child's result, or None after noting its error."""
        if out.get("version"):
            self.version.setdefault(name, out["version"])
        if "error" in out:
            self.error.setdefault((name, task), out["error"])
            return None
        return out

    def add(self, name, key, value):
        self.samples[name].setdefault(key, []).append(value)

    def median(self, name, key):
        values = self.samples.get(name, {}).get(key)
        return median(values) if values else None


def run_fps(results, clips):
    """Rounds of every reader on every clip, main thread idle and busy; per round, the
    capture's rate against the best other reader's."""
    keys = [f"{os.path.basename(path)}:{mode}" for path in clips for mode in ("idle", "busy")]
    for _ in range(FPS_ROUNDS):
        round_rates = {}
        for name in READERS:
            if not results.usable(name, "fps"):
                continue
            out = results.take(name, "fps",
                               child("fps", name, {"paths": clips, "window": FPS_WINDOW}, 180))
            if out is None:
                continue
            for key in keys:
                results.add(name, "fps:" + key, out[key])
            round_rates[name] = out
        others = [n for n in round_rates if n not in CAPTURES]
        for ours in (n for n in CAPTURES if n in round_rates and others):
            for key in keys:
                best = max(round_rates[o][key] for o in others)
                results.add(ours, "ratio:" + key, round_rates[ours][key] / best)
        if "capture-bundled" in round_rates and os.path.exists(BARE_BUNDLED):
            for path in clips:
                key = os.path.basename(path) + ":idle"
                bare = bare_fps(BARE_BUNDLED, path)
                results.add("capture-bundled", "bare:" + key, bare)
                results.add("capture-bundled", "bare_ratio:" + key, round_rates["capture-bundled"][key] / bare)
    return keys


# A bare read loop (bare_read_loop.cpp) over the bundled decoder's static OpenCV, built by
# build_bare_bundled when that OpenCV's CMake package is found under BUNDLED_PREFIX, with
# the C++ compiler that built it (BUNDLED_CXX; its standard library must match). By default
# both are taken from the bundled decoder's build folder.
BUNDLED_PREFIX = os.environ.get("CORVANE_BUNDLED_PREFIX", os.path.join(HERE, "..", "build-decoder"))
BUNDLED_CXX = os.environ.get("CORVANE_BUNDLED_CXX") or next(
    (c for c in [os.path.join(BUNDLED_PREFIX, "tools", "zig-bin", "c++")] if os.path.exists(c)), None)
BARE_BUNDLED = os.path.join(BUILD, "bench-bare-bundled", "corvane_bare_read_loop")


def build_bare_bundled():
    """Builds the bare loop over the bundled OpenCV; the reason when it cannot, else None."""
    import glob
    # The newest finished OpenCV build (decoder/build.sh marks each with .done): the one the
    # latest wheels link. Unfinished and older builds may sit beside it.
    done = sorted(glob.glob(os.path.join(BUNDLED_PREFIX, "opencv-*", ".done")), key=os.path.getmtime)
    found = sorted(glob.glob(os.path.join(os.path.dirname(done[-1]), "**", "OpenCVConfig.cmake"),
                             recursive=True)) if done else []
    if not found:
        return f"no bundled OpenCV under {os.path.relpath(BUNDLED_PREFIX)}: run make wheel first"
    out = os.path.dirname(BARE_BUNDLED)
    steps = [["cmake", "-S", os.path.join(HERE, "bare_bundled"), "-B", out, "-DCMAKE_BUILD_TYPE=Release",
              "-DOpenCV_DIR=" + os.path.dirname(found[0])] +
             (["-DCMAKE_CXX_COMPILER=" + BUNDLED_CXX] if BUNDLED_CXX else []),
             ["cmake", "--build", out]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            return "the bare loop over the bundled OpenCV did not build: " + (done.stderr.strip().splitlines() or ["?"])[-1]
    return None


def bare_fps(binary, path):
    """Frames per second of a bare read loop over `path`, from its first frame to its last."""
    data = json.loads(subprocess.run([binary, path], capture_output=True, text=True, check=True).stdout)
    return (data["frames"] - 1) / data["seconds"]


def run_age(results):
    """Frame age on a live HTTP MJPEG camera (30 fps, ffmpeg on 127.0.0.1), playing and
    after a pause, as bench_live measures it: one fresh server per reader and round."""
    from live_servers import LiveServer
    for _ in range(AGE_ROUNDS):
        for name in READERS:
            if name in FPS_ONLY or not results.usable(name, "age"):
                continue
            server = LiveServer("mjpeg-http", fps=30.0, seconds=PLAY + PAUSE + AFTER + 20)
            try:
                args = {"url": server.url, "play": PLAY, "pause": PAUSE, "after": AFTER}
                out = results.take(name, "age", child("age", name, args, 60))
                if out is None:
                    continue
                for phase in ("playing", "after"):
                    ages = [t - server.sent_at[i] for t, i in out[phase] if i in server.sent_at]
                    if ages:
                        results.add(name, "age:" + phase, median(ages))
            finally:
                server.stop()


H264_READERS = ("capture", "capture-bundled", "opencv-debian", "opencv", "pyav")
H264_CPUS = (os.cpu_count(), 16)
H264_ROUNDS = 2
H264_SIZE, H264_FPS, H264_TICK = (640, 360), 30.0, 30.0
H264_WARMUP, H264_SECONDS = 3.0, 8.0


def run_h264_age():
    """Mean age of the latest frame at a 30 Hz tick on a live H.264 camera (x264 zero
    latency, 640x360 at 30 fps, MPEG-TS over UDP on 127.0.0.1), each reader at 2 CPUs (this
    machine) and made to see 16: one fresh server per reader, count and round. Results per
    (reader, cpus): the mean age of each round and what its OpenCV and FFmpeg counted."""
    from live_servers import LiveServer
    results = Results(H264_READERS)
    for _ in range(H264_ROUNDS):
        for cpus in H264_CPUS:
            for name in H264_READERS:
                task = f"tick_age:{cpus}"
                if not results.usable(name, task):
                    continue
                server = LiveServer("h264-udp", fps=H264_FPS, size=H264_SIZE,
                                    seconds=H264_WARMUP + H264_SECONDS + 25)
                try:
                    args = {"url": server.url, "tick": H264_TICK, "warmup": H264_WARMUP,
                            "seconds": H264_SECONDS}
                    out = results.take(name, task, child("tick_age", name, args, 60,
                                                         None if cpus == os.cpu_count() else cpus))
                    if out is None:
                        continue
                    ages = [t - server.sent_at[i] for t, i in out["samples"] if i in server.sent_at]
                    if ages:
                        results.add(name, task, sum(ages) / len(ages))
                        results.samples[name][f"cpus:{cpus}"] = [out["cpus"]]
                finally:
                    server.stop()
    return results


def run_streams(results, path):
    """How many real-time 720p 25 fps streams one process keeps at full rate (every stream
    >= 24 fps) with its tick thread busy: counts in increasing steps, every reader still
    passing taking its turn at each step, until each has failed once."""
    alive = [n for n in READERS if n not in FPS_ONLY]
    for count in STREAM_COUNTS:
        for name in list(alive):
            args = {"path": path, "count": count, "seconds": STREAM_SECONDS, "warmup": STREAM_WARMUP}
            out = results.take(name, "streams", child("streams", name, args, 120))
            if out is None:
                alive.remove(name)
                continue
            slowest = min(out["rates"])
            if slowest >= FULL_RATE:
                results.samples[name]["streams"] = [count]
            elif "streams_failed" not in results.samples[name]:
                results.samples[name]["streams_failed"] = [(count, slowest)]
            # The capture's pacing rule spaces frames by the interval plus the read, so it
            # also goes on while every stream keeps the rate that rule gives.
            if "rule_share" in out and out["rule_share"] >= RULE_SHARE:
                results.samples[name]["streams_rule"] = [count]
            elif "rule_share" in out and "streams_rule_failed" not in results.samples[name]:
                results.samples[name]["streams_rule_failed"] = [(count, out["rule_share"])]
            elif slowest < FULL_RATE:
                alive.remove(name)
        if not alive:
            break
    for name in alive:  # passed every step
        results.samples[name]["streams_capped"] = [True]


def run_memory(results, path):
    for _ in range(MEMORY_ROUNDS):
        for name in READERS:
            if name in FPS_ONLY or not results.usable(name, "memory"):
                continue
            out = results.take(name, "memory",
                               child("memory", name, {"path": path, "count": MEMORY_STREAMS}, 120))
            if out is not None:
                results.add(name, "memory", out["per_stream_bytes"] / 1e6)


def run():
    clip_sd = clipgen.clip("h264", 640, 480, 100000.0, 4000)
    clip_hd = clipgen.clip("h264", 1920, 1080, 100000.0, 600)
    clip_720 = clipgen.clip("h264", 1280, 720, 25.0, 250)
    clip_mem = clipgen.clip("h264", 1920, 1080, 25.0, 100)
    results = Results()
    started = time.monotonic()
    bare_bundled = build_bare_bundled()
    keys = run_fps(results, [clip_sd, clip_hd])
    run_age(results)
    run_streams(results, clip_720)
    run_memory(results, clip_mem)
    return {
        "results": results,
        "fps_keys": keys,
        "clips": {os.path.basename(clip_sd): "H.264 640x480, 4000 frames",
                  os.path.basename(clip_hd): "H.264 1920x1080, 600 frames"},
        "seconds": time.monotonic() - started,
        "bare_bundled": bare_bundled,
    }
