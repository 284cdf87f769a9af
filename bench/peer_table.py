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
    cells = []
    for n in COLUMNS:
        s = r.samples[n]
        if "streams" in s or "streams_failed" in s:
            count = s.get("streams", [0])[0]
            text = f"**{count}**" + (" (all steps passed)" if "streams_capped" in s else "")
            if "streams_failed" in s:
                failed, slowest = s["streams_failed"][0]
                text += f" (at {failed}: slowest {slowest:.1f} fps)"
            if "streams_rule" in s:
                text += (f"; {s['streams_rule'][0]} at >= {bench_peers.RULE_SHARE:.2f} of the rate its pacing "
                         "rule gives, 1 / (interval + read time)")
            cells.append(text)
        else:
            cells.append(_cell(r, n, "streams", None))
    add(f"| streams per process: real-time H.264 1280x720 25 fps streams that one process keeps at "
        f">= {bench_peers.FULL_RATE:.0f} fps each, tick thread busy in pure Python between 25 Hz ticks "
        f"(steps {', '.join(map(str, bench_peers.STREAM_COUNTS[:6]))}, ...) | " + " | ".join(cells) + " |")
    add(f"| resident memory per open, playing H.264 1920x1080 stream ({bench_peers.MEMORY_STREAMS} streams "
        "beyond a first), MB | " + " | ".join(_cell(r, n, "memory", _fmt(r.median(n, 'memory'), '.1f'))
                                              for n in COLUMNS) + " |")
    add("")
    add("Goals, as ratios from this run (per round for the rates, then the median):")
    add("")
    others = [n for n in COLUMNS if n != "capture"]
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
    for phase in ("playing", "after"):
        ours = r.median("capture", "age:" + phase)
        theirs = [(r.median(n, "age:" + phase), n) for n in others if r.median(n, "age:" + phase) is not None]
        if ours is None or not theirs:
            add(f"- live frame age ({phase}): no ratio.")
            continue
        best, who = min(theirs)
        add(f"- live frame age ({'playing' if phase == 'playing' else 'after a pause'}): capture / freshest other "
            f"({bench_peers.NAMES[who]}) = **{ours / best:.2f}** (goal <= 1): {'met' if ours <= best else '**not met**'}.")
    ours = r.samples["capture"].get("streams", [0])[0]
    theirs = [(r.samples[n].get("streams", [0])[0], n) for n in others if (n, "streams") not in r.error]
    if theirs:
        best, who = max(theirs)
        ratio = ours / best if best else float("inf")
        add(f"- streams per process: capture / most of any other ({bench_peers.NAMES[who]}) = **{ratio:.2f}** "
            f"({ours} against {best}; goal >= 1): {'met' if ours >= best else '**not met**'}.")
    return lines

