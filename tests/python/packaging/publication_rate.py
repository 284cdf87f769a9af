"""How fast a capture publishes with the main thread idle and with it busy in Python.

A capture plays a lossless clip that reports 200 fps (paced to that rate). The main thread
first sleeps, then runs a pure-Python loop that almost never lets go of the interpreter lock,
for the same time; each phase counts the frames the capture published. A capture that decodes
natively without the lock publishes at the same rate in both phases.

Run: python publication_rate.py [--seconds 1.5]   (the plug-in and loguru importable)
"""
import argparse
import json
import os
import sys
import tempfile
import time

FPS = 200.0


def busy(seconds):
    """Keep this thread in pure-Python bytecode for `seconds`."""
    end = time.perf_counter() + seconds
    total = 0
    while time.perf_counter() < end:
        for i in range(200):
            total += i * i
    return total


def publication_rates(capture_module, clip, seconds, switch_interval=None):
    """Return (idle, busy) publication rates in frames per second, and whether the capture's
    source was the native one. `switch_interval` (seconds) replaces the interpreter's during
    the busy phase: the longer it is, the longer another thread waits for the lock."""
    cap = capture_module.ParallVideoCapture(clip, True)
    try:
        if not cap.start() or not cap.frame_ready.wait(5.0):
            raise RuntimeError("the capture did not start on " + clip)
        native = type(cap.cap).__name__ == "_NativeVideoCapture"
        rates = []
        default_interval = sys.getswitchinterval()
        for phase in (time.sleep, busy):
            if phase is busy and switch_interval:
                sys.setswitchinterval(switch_interval)
            try:
                first, started = cap.current_frame_number, time.perf_counter()
                phase(seconds)
                rates.append((cap.current_frame_number - first) / (time.perf_counter() - started))
            finally:
                sys.setswitchinterval(default_interval)
        return rates[0], rates[1], native
    finally:
        cap.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.5)
    args = parser.parse_args(argv)
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import clips
    import corvane.plugins.video.capture as capture
    capture.logger.remove()
    frames = int(FPS * (2 * args.seconds + 2))       # never reaches the end of the clip
    with tempfile.TemporaryDirectory() as tmp:
        clip = clips.write_clip(os.path.join(tmp, "rate.mkv"), frames=frames, fps=FPS)
        idle, busy_rate, native = publication_rates(capture, clip, args.seconds)
    print(json.dumps({"native": native, "idle_fps": round(idle, 1),
                      "busy_fps": round(busy_rate, 1), "ratio": round(busy_rate / idle, 3)}))


if __name__ == "__main__":
    main()
