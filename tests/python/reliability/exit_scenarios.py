"""Interpreter exit in every state of a capture, each scenario in a child interpreter.

The capture tests exit with captures running, paused, in a blocked read of a Python
source, with busy callers and by sys.exit (EXIT_SCENARIOS of test_capture_threads). The
scenarios here add the rest: during re-opens (native and Python, blocking or not),
captures dropped by their owners in other states, finalisers that stop a capture, and callers of every kind caught in a
call when the interpreter ends. The child prints READY and its monotonic clock when the
scenario is set up, then leaves the end of the script; it must end with status 0, within
EXIT_BOUND_S of READY and without a byte on stderr.
"""
import time

from test_capture_threads import EXIT_SCENARIOS, PRELUDE

EXIT_BOUND_S = 2.0

# Worker or callers busy, nothing blocked for long.
STATES = {
    "native_reopen_loop": "c = P(sys.argv[2]); c.start(); time.sleep(0.3)",
    "native_reopen_loop_dropped": "P(sys.argv[2]).start(); gc.collect(); time.sleep(0.3)",
    "python_reopen_loop": """
use_python_source(frames=1, fps=1000.0)
c = P('fake://x'); c.start(); time.sleep(0.2)
""",
    "python_error_reopen_loop": """
use_python_source(frames=None, fps=1000.0, hook=lambda s: 1 / 0 if s.reads else None)
c = P('fake://x'); c.start(); time.sleep(0.2)
""",
    "native_paused_dropped": "c = P(clip); c.start(); time.sleep(0.1); c.pause(); del c; gc.collect()",
    "python_paused_dropped": """
use_python_source(frames=None)
c = P('fake://x'); c.start(); time.sleep(0.1); c.pause(); del c; gc.collect()
""",
    "stopped_and_dropped": "c = P(clip); c.start(); time.sleep(0.1); c.stop(); del c; gc.collect()",
    "waiting_reader": """
c = P(clip); c.start(); time.sleep(0.1); c.pause(); time.sleep(0.1); c.frame_ready.clear()
threading.Thread(target=lambda: c.get_frame(True, 30), daemon=True).start(); time.sleep(0.1)
""",
    "native_lock_held": "c = P(clip); c.start(); time.sleep(0.1); c.lock.acquire()",
    "python_lock_held": """
use_python_source(frames=None)
c = P('fake://x'); c.start(); time.sleep(0.1); c.lock.acquire()
""",
    # Finalisers of module globals that stop their capture while the interpreter ends.
    "owner_finaliser_stops": """
class Owner:
    def __init__(self, path):
        self.cap = P(path); self.cap.start()
    def __del__(self):
        self.cap.stop()
use_python_source(frames=None)
owners = [Owner(clip), Owner('fake://x')]; time.sleep(0.1)
""",
    "subclass_finaliser_stops": """
class Own(P):
    def __del__(self):
        self.stop()
own = Own(clip); own.start(); Own(sys.argv[2]).start(); gc.collect(); time.sleep(0.3)
""",
    "start_blocked_in_open": """
use_python_source(frames=None, create_hook=lambda i: time.sleep(30))
c = P('fake://x'); threading.Thread(target=c.start, daemon=True).start(); time.sleep(0.1)
""",
}

# A capture whose worker reads an MJPEG stream on 127.0.0.1 that sends five frames and
# then nothing on an open connection: once the fifth is published, its read waits for data
# until the read timeout the source was opened with.
SILENT_STREAM = """
import socket, cv2
from clips import make_frame
listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen(1)
def serve():
    conn, _ = listener.accept()
    jpeg = cv2.imencode(".jpg", make_frame(0))[1].tobytes()
    conn.sendall(b"HTTP/1.0 200 OK\\r\\nContent-Type: multipart/x-mixed-replace;boundary=f\\r\\n\\r\\n")
    for _ in range(5):
        conn.sendall(b"--f\\r\\nContent-Type: image/jpeg\\r\\nContent-Length: %d\\r\\n\\r\\n"
                     % len(jpeg) + jpeg + b"\\r\\n")
    time.sleep(30)
threading.Thread(target=serve, daemon=True).start()
c = P("http://127.0.0.1:%d/cam.mjpg" % listener.getsockname()[1]); c.start()
assert wait_until(lambda: c.current_frame_number >= 5)
time.sleep(0.3)
"""

# The worker caught in a call of a Python source that hangs while the interpreter ends.
HANGING_WORKER = {
    "python_reopen_blocks_in_open": """
source = use_python_source(frames=3, create_hook=lambda i: time.sleep(30) if i else None)
c = P('fake://x'); c.start()
assert wait_until(lambda: c.current_frame_number == 3)
time.sleep(0.1)
""",
    "python_reopen_blocks_in_release": """
use_python_source(frames=3, release_hook=lambda s: time.sleep(30))
c = P('fake://x'); c.start(); time.sleep(0.2)
""",
    # A native read of a stream that stopped sending outlasts the exit hook's wait and
    # returns while the process ends.
    "native_read_outlasts_the_wait":
        'os.environ["CORVANE_VIDEO_READ_TIMEOUT_MSEC"] = "1400"\n' + SILENT_STREAM,
    "hung_read_dropped": """
use_python_source(frames=None, hook=lambda s: time.sleep(30) if len(s.reads) > 2 else None)
P('fake://x').start(); gc.collect(); time.sleep(0.2)
""",
}

# Callers caught in a call that waits for a hanging call of a Python source.
HANGING_CALLERS = {
    "seek_blocks_in_set": """
use_python_source(frames=None, count=100.0, set_hook=lambda s, p, v: time.sleep(30))
c = P('fake://x'); c.start(); time.sleep(0.1)
threading.Thread(target=c.seek, args=(5,), daemon=True).start(); time.sleep(0.1)
threading.Thread(target=c.get_frame, daemon=True).start(); time.sleep(0.05)
""",
    "seek_and_reader_behind_hung_read": """
use_python_source(frames=None, count=100.0,
                  hook=lambda s: time.sleep(30) if len(s.reads) > 2 else None)
c = P('fake://x'); c.start(); time.sleep(0.2)
threading.Thread(target=c.seek, args=(5,), daemon=True).start(); time.sleep(0.05)
threading.Thread(target=c.get_frame, daemon=True).start(); time.sleep(0.05)
""",
    "stop_waiting_for_hung_read": """
use_python_source(frames=None, hook=lambda s: time.sleep(30) if len(s.reads) > 2 else None)
c = P('fake://x'); c.start(); time.sleep(0.2)
threading.Thread(target=c.stop, daemon=True).start(); time.sleep(0.1)
""",
    "worker_outlived_stop": """
use_python_source(frames=None,
                  hook=lambda s: time.sleep(30) if s.index == 0 and len(s.reads) > 2 else None)
c = P('fake://x'); c.start(); time.sleep(0.2); c.stop(); c.start(); time.sleep(0.1)
""",
}

# The capture tests' own exit scenarios, repeated by the long version only.
EXISTING = dict(EXIT_SCENARIOS)


def run_exit(run_python, scenario, clip, one_frame_clip):
    """Run `scenario` in a child interpreter; return seconds from READY to its end."""
    code = PRELUDE + scenario + "\nprint('READY', time.monotonic(), flush=True)\n"
    result = run_python(code, timeout=30, args=[clip, one_frame_clip])
    ended = time.monotonic()
    assert result.returncode == 0, result.stderr
    # A read that outlasts its timeout ends the way these scenarios want; newer OpenCVs (4.10)
    # say so on stderr themselves ("... Stream timeout triggered after ... ms").
    unexpected = [line for line in result.stderr.splitlines()
                  if not (line.startswith("[ WARN:") and "Stream timeout triggered" in line)]
    assert unexpected == []
    words = result.stdout.split()
    ready = float(words[words.index("READY") + 1])
    return ended - ready
