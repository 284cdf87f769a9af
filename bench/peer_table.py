"""The table of bench_peers.py's figures, one column per reader, and the goals as ratios
measured in the same run."""
import re

import bench_peers

COLUMNS = bench_peers.READERS


def _reason(text):
    # FFmpeg and decord prefix their messages with a time stamp and a source position.
    text = re.sub(r"^\w+Error: (DECORDError: )?\[[\d:]+\] \S+:\d+: ", "", text)
    return "cannot: " + text.replace("|", "/")


def _cell(results, name, task, figure):
    error = results.error.get((name, task))
    if error is not None and figure is None:
        return _reason(error)
    return "-" if figure is None else figure


def _fmt(value, pattern):
    return None if value is None else format(value, pattern)


def _streams_kept(r, name):
    """Streams kept at full rate: the capture's at its pacing rule's rate, the others' at
    the clip's."""
    return r.samples[name].get("streams_rule" if name == "capture" else "streams", [0])[0]


def _streams_cell(r, name):
    s = r.samples[name]
    if not any(k in s for k in ("streams", "streams_failed", "streams_rule", "streams_rule_failed")):
        return _cell(r, name, "streams", None)
    text = f"**{_streams_kept(r, name)} streams**" + (" (all steps passed)" if "streams_capped" in s else "")
    if name == "capture":
        if "streams_rule_failed" in s:
            failed, share = s["streams_rule_failed"][0]
            text += f" (at {failed}: slowest stream at {share:.2f} of its rule's rate)"
        return text + (f"; the rule's rate is below {bench_peers.FULL_RATE:.0f} fps as soon as a read takes "
                       f"more than 1.7 ms, so {s.get('streams', [0])[0]} of them at >= {bench_peers.FULL_RATE:.0f} fps")
    if "streams_failed" in s:
        failed, slowest = s["streams_failed"][0]
        text += f" (at {failed}: slowest {slowest:.1f} fps)"
    return text


def _bundled_goals(r, peers):
    """The bundled decoder's idle rates against the fastest package reader and against a
    bare read loop over the same decoder, or why they are missing."""
    out = []
    for key in (k for k in peers["fps_keys"] if k.endswith(":idle")):
        clip = peers["clips"][key.split(":")[0]]
        ratio = r.median("capture-bundled", "ratio:" + key)
        if ratio is None:
            reason = r.error.get(("capture-bundled", "fps"), "not measured")
            out.append(f"- {clip}, main thread idle, bundled decoder: no figure ({reason}).")
            continue
        out.append(f"- {clip}, main thread idle, bundled decoder: capture / fastest other = **{ratio:.2f}** "
                   f"(goal >= 1): {'met' if ratio >= 1 else '**not met**'}.")
        bare = r.median("capture-bundled", "bare_ratio:" + key)
        if bare is None:
            out.append(f"- {clip}, bundled decoder against its bare read loop: no figure "
                       f"({peers.get('bare_bundled') or 'not measured'}).")
        else:
            out.append(f"- {clip}, bundled decoder against its bare read loop "
                       f"({r.median('capture-bundled', 'bare:' + key):.0f} fps): **{bare:.3f}** (goal >= 0.97): "
                       f"{'met' if bare >= 0.97 else '**not met**'}.")
    return out


def render(peers):
    r = peers["results"]
    versions = {n: r.version.get(n, bench_peers.NAMES[n]) for n in COLUMNS}
    lines = []
    add = lines.append
    add("## Against the readers users install")
    add("")
    add(f"Measured in the same `make bench` run ({peers['seconds']:.0f} s for this table), each reader in a child "
        "process of its own, readers in turn within each round. The capture runs under Debian's "
        "`/usr/bin/python3` with the built module; the packages run in `build/bench-venv` (CPython 3.11, "
        "made by `bench/make_venv.sh` with the newest release pip offers for this Python), each with the "
        "FFmpeg its wheel bundles. Rates are medians over "
        f"{bench_peers.FPS_ROUNDS} rounds, frame ages over {bench_peers.AGE_ROUNDS}, memory over "
        f"{bench_peers.MEMORY_ROUNDS}.")
    add("")
    add("| figure | " + " | ".join(versions[n] for n in COLUMNS) + " |")
    add("|---" * (len(COLUMNS) + 1) + "|")
    for key in peers["fps_keys"]:
        clip, mode = key.split(":")
        label = (f"frames per second, main thread {'busy in pure Python' if mode == 'busy' else 'idle'} "
                 f"({peers['clips'][clip]}, read as fast as each can; up to {bench_peers.FPS_WINDOW:.0f} s a run)")
        add(f"| {label} | " + " | ".join(_cell(r, n, "fps", _fmt(r.median(n, 'fps:' + key), '.0f'))
                                         for n in COLUMNS) + " |")
    for phase, text in (("playing", f"after {bench_peers.PLAY:.0f} s playing"),
                        ("after", f"{bench_peers.AFTER:.0f} s after a {bench_peers.PAUSE:.0f} s pause")):
        add(f"| age of the latest frame on a live camera (HTTP MJPEG 160x120, 30 fps, ffmpeg on 127.0.0.1), "
            f"{text}, s | " + " | ".join(_cell(r, n, "age", _fmt(r.median(n, 'age:' + phase), '.3f'))
                                          for n in COLUMNS) + " |")
    cells = [_streams_cell(r, n) for n in COLUMNS]
    add(f"| streams per process: real-time H.264 1280x720 25 fps streams that one process keeps at full rate, "
        f"tick thread busy in pure Python between 25 Hz ticks (steps {', '.join(map(str, bench_peers.STREAM_COUNTS[:6]))}, "
        f"...). Full rate for the capture is the rate its pacing rule gives, 1 / (40 ms + read time), every stream "
        f">= {bench_peers.RULE_SHARE:.2f} of it; for the others, whose loops wait for each frame's time, "
        f">= {bench_peers.FULL_RATE:.0f} fps each | " + " | ".join(cells) + " |")
    add(f"| resident memory per open, playing H.264 1920x1080 stream ({bench_peers.MEMORY_STREAMS} streams "
        "beyond a first), MB | " + " | ".join(_cell(r, n, "memory", _fmt(r.median(n, 'memory'), '.1f'))
                                              for n in COLUMNS) + " |")
    add("")
    add("Goals, as ratios from this run (per round for the rates, then the median):")
    add("")
    others = [n for n in COLUMNS if n not in bench_peers.CAPTURES]
    for key in peers["fps_keys"]:
        clip, mode = key.split(":")
        ratio = r.median("capture", "ratio:" + key)
        if ratio is None:
            add(f"- {peers['clips'][clip]}, main thread {mode}: no ratio (no other reader measured).")
            continue
        goal, ok = ((">= 10x every other reader", ratio >= 10) if mode == "busy"
                    else (">= 0.97 of the fastest other", ratio >= 0.97))
        add(f"- {peers['clips'][clip]}, main thread {mode}: capture / fastest other = **{ratio:.2f}** "
            f"(goal {goal}): {'met' if ok else '**not met**'}.")
    lines.extend(_bundled_goals(r, peers))
    for phase in ("playing", "after"):
        ours = r.median("capture", "age:" + phase)
        theirs = [(r.median(n, "age:" + phase), n) for n in others if r.median(n, "age:" + phase) is not None]
        if ours is None or not theirs:
            add(f"- live frame age ({phase}): no ratio.")
            continue
        best, who = min(theirs)
        add(f"- live frame age ({'playing' if phase == 'playing' else 'after a pause'}): capture / freshest other "
            f"({bench_peers.NAMES[who]}) = **{ours / best:.2f}** (goal <= 1): {'met' if ours <= best else '**not met**'}.")
    ours = _streams_kept(r, "capture")
    theirs = [(_streams_kept(r, n), n) for n in others if (n, "streams") not in r.error]
    if theirs:
        best, who = max(theirs)
        ratio = ours / best if best else float("inf")
        add(f"- streams per process: capture (at its pacing rule's rate) / most of any other at >= "
            f"{bench_peers.FULL_RATE:.0f} fps ({bench_peers.NAMES[who]}) = **{ratio:.2f}** ({ours} against {best}; "
            f"goal >= 1): {'met' if ours >= best else '**not met**'}.")
    return lines



def _cpus_note(counted):
    """What the reader's OpenCV and FFmpeg counted, as "OpenCV 16, FFmpeg 16"."""
    if not counted:
        return "-"
    parts = [f"{lib} {counted[key]}" for lib, key in (("OpenCV", "opencv"), ("FFmpeg", "ffmpeg"))
             if counted.get(key) is not None]
    if counted.get("answered") is not None:
        parts.append(f"{counted['answered']} CPU-count calls answered")
    return ", ".join(parts) or "not reachable (symbols hidden)"


ROLES = {"capture": "ParallVideoCapture, system decoder", "capture-bundled": "ParallVideoCapture, bundled decoder",
         "opencv-debian": "a cv2 reader thread", "opencv": "a cv2 reader thread", "pyav": "a PyAV decode thread"}


def render_h264(r):
    """The live H.264 camera's frame age, one row per reader, one column per CPU count."""
    cpus = bench_peers.H264_CPUS
    w, h = bench_peers.H264_SIZE
    lines = []
    add = lines.append
    add("## Live H.264 camera: frame age")
    add("")
    add(f"A live H.264 camera: Debian's ffmpeg encodes with x264 tuned for zero latency, {w}x{h} at "
        f"{bench_peers.H264_FPS:.0f} fps, MPEG-TS over UDP on 127.0.0.1, fed in real time with frames that "
        "carry their index in large blocks, so the age of the frame a reader holds is known exactly. Each "
        f"reader runs in a child process, opens the stream, waits {bench_peers.H264_WARMUP:.0f} s and then "
        f"takes its latest frame at a {bench_peers.H264_TICK:.0f} Hz tick for {bench_peers.H264_SECONDS:.0f} s; "
        f"the figure is the mean age over the ticks, median of {bench_peers.H264_ROUNDS} rounds (readers in "
        f"turn, a fresh server for each). At {cpus[1]} CPUs the reader runs on the same {cpus[0]} cores but "
        f"sees {cpus[1]}: in a mount namespace the kernel's CPU-count files say 0-{cpus[1] - 1}, and a preloaded "
        "library (`bench/fake_cpus.cpp`) answers `sysconf`, `get_nprocs` and `sched_getaffinity`; the last "
        "column gives what each reader's OpenCV (`cv::getNumberOfCPUs`) and FFmpeg (`av_cpu_count`) counted there.")
    add("")
    add(f"| reader | {cpus[0]} CPUs (this machine), ms | {cpus[1]} CPUs (made to see {cpus[1]}, same cores), ms "
        f"| counted at {cpus[1]} |")
    add("|---|---|---|---|")
    for name in bench_peers.H264_READERS:
        cells = [_cell(r, name, f"tick_age:{n}", _fmt(None if r.median(name, f'tick_age:{n}') is None
                                                        else r.median(name, f'tick_age:{n}') * 1000, '.0f'))
                 for n in cpus]
        counted = r.samples[name].get(f"cpus:{cpus[1]}", [None])[0]
        label = f"{ROLES[name]}: {r.version.get(name, bench_peers.NAMES[name])}"
        add(f"| {label} | " + " | ".join(cells) + f" | {_cpus_note(counted)} |")
    add("")
    pyav = {n: r.median("pyav", f"tick_age:{n}") for n in cpus}
    for name in ("capture", "capture-bundled"):
        for n in cpus:
            ours = r.median(name, f"tick_age:{n}")
            if ours is None or pyav[n] is None:
                add(f"- {bench_peers.NAMES[name]}, {n} CPUs: not measured.")
                continue
            gap = (ours - pyav[n]) * 1000
            cv = re.search(r"OpenCV (\d+)\.(\d+)", r.version.get(name, ""))
            why = (f" (OpenCV {cv[1]}.{cv[2]} takes no decoder thread count)"
                   if cv and (int(cv[1]), int(cv[2])) < (4, 7) and abs(gap) > 5 else "")
            # A frame fresher than PyAV's is no decoder delay: only a later one misses the goal.
            verdict = "met" if abs(gap) <= 5 else "met (fresher)" if gap < 0 else "**not met**"
            add(f"- {bench_peers.NAMES[name]}, {n} CPUs: {gap:+.0f} ms against PyAV's decode thread "
                f"(goal within 5 ms, later frames miss it): {verdict}{why}.")
    add("")
    add("The system decoder where OpenCV takes the thread count (Debian 13's OpenCV 4.10), measured in a "
        "Debian 13 root on the same machine: [benchmarks-debian13.md](benchmarks-debian13.md).")
    return lines
