"""Calls that come back into a capture from inside it: from a Python source's methods, a
log sink, a signal handler, a subclass's override or a finaliser, on the thread of the
step they come from or on another. Each case runs in a child interpreter with a time
limit, so a deadlock fails the test instead of hanging it."""
import json
import os
import subprocess
import sys

import pytest

from test_capture_threads import PRELUDE, run_json

HERE = os.path.dirname(os.path.abspath(__file__))


def test_worker_that_stops_its_capture_after_its_loop_while_the_owner_stops(run_python):
    """A subclass's `_capture_loop` calls `stop` after the loop, while the owner's `stop`
    is waiting for that very thread: neither keeps the GIL while it waits for the other."""
    outcome = run_json(run_python, """
source = use_python_source(frames=3, fps=100.0)
looped = threading.Event()
class Own(P):
    def _capture_loop(self):
        super()._capture_loop()
        looped.set()
        releasing.wait(5)            # the owner's stop is inside the source's release now
        self.stop()
releasing = threading.Event()
source.release_hook = staticmethod(lambda s: releasing.set() or time.sleep(0.3))
cap = Own("fake://x", False)
cap.start()
assert looped.wait(5)
cap.stop()
cap.thread.join(3)
print(json.dumps(dict(alive=cap.thread.is_alive(), running=cap.is_running(),
                      released=[s.released for s in source.instances])))
""", "", timeout=20)
    assert outcome == dict(alive=False, running=False, released=[1])


def test_stop_on_a_thread_that_reuses_the_finished_workers_ident(run_python):
    """The thread after a finished worker often gets its ident. Its `stop`, made while
    another thread's `start` is opening a source, waits for that start without the GIL,
    which the start needs to finish."""
    outcome = run_json(run_python, """
source = use_python_source(frames=3, fps=100.0,
                           create_hook=lambda i: time.sleep(0.5) if i == 1 else None)
cap = P("fake://x", False)
cap.start()
cap.thread.join(3)
ident, go = cap.thread.ident, threading.Event()
stopper = None
for _ in range(50):
    t = threading.Thread(target=lambda: go.wait(5) and threading.get_ident() == ident
                         and cap.stop())
    t.start()
    if t.ident == ident:
        stopper = t
        break
if stopper is None:
    print(json.dumps("no reuse")); go.set(); sys.exit(0)
starter = threading.Thread(target=cap.start)
starter.start()
time.sleep(0.1)                      # the start is inside the source's constructor
go.set()
starter.join(5); stopper.join(5)
cap.thread.join(3)
print(json.dumps(dict(stuck=starter.is_alive() or stopper.is_alive(), running=cap.is_running(),
                      released=source.instances[1].released)))
""", "", timeout=20)
    if outcome == "no reuse":
        pytest.skip("no thread got the finished worker's ident")
    assert outcome == dict(stuck=False, running=False, released=1)


@pytest.mark.parametrize("handler_calls, started", [("stop", False), ("start", True)])
def test_signal_handler_calling_back_while_start_opens(run_python, handler_calls, started):
    """Ctrl-C's handler (here SIGUSR1's) runs on the main thread while `start` opens a
    slow source there. A `stop` from it makes that start release what it opened and return
    False; a `start` from it returns False at once and the outer start goes on."""
    outcome = run_json(run_python, f"""
import signal
source = use_python_source(frames=None, fps=100.0, create_hook=lambda i: time.sleep(0.5))
cap = P("fake://x")
answers = []
signal.signal(signal.SIGUSR1, lambda *a: answers.append(cap.{handler_calls}()))
threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
started = cap.start()
running = cap.is_running()
released = [s.released for s in source.instances]
cap.stop()
print(json.dumps(dict(started=started, answers=answers, running=running, released=released,
                      after_stop=[s.released for s in source.instances])))
""", "", timeout=20)
    assert outcome["answers"] == ([None] if handler_calls == "stop" else [False])
    assert outcome["started"] is started and outcome["running"] is started
    assert outcome["released"] == ([0] if started else [1]) and outcome["after_stop"] == [1]


def test_ctrl_c_while_stop_waits_for_the_worker_still_releases_the_source(run_python):
    outcome = run_json(run_python, """
import signal
gate = threading.Event()
source = use_python_source(frames=None, hook=lambda s: gate.wait(5) and None if s.reads[1:] else None)
cap = P("fake://x")
cap.start()
assert wait_until(lambda: len(source.instances[0].reads) == 2)     # the worker hangs in a read
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    cap.stop()
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
gate.set()                           # the read returns, and the release waiting for it is made
released = wait_until(lambda: source.instances[0].released == 1)
cap.thread.join(3)
print(json.dumps(dict(outcome=outcome, cap=repr(cap.cap), released=released,
                      running=cap.is_running(), alive=cap.thread.is_alive())))
""", "", timeout=20)
    assert outcome == dict(outcome="interrupted", cap="None", released=True, running=False,
                           alive=False)


@pytest.mark.parametrize("step", ["seek", "start"])
def test_log_sink_that_touches_the_capture_from_another_thread_during_a_step(run_python, step):
    """loguru holds a handler's lock while its sink runs. A sink on another thread that
    reads a frame (during `seek`) or stops the capture (during `start`) waits for the
    capture while the step's line waits for loguru: the step writes its lines only once
    it holds none of the capture's locks, so both threads finish. The start has started
    (True) and the sink's stop stopped it."""
    outcome = run_json(run_python, """
step = sys.argv[2]
use_python_source(frames=None, fps=25.0, count=100.0)
cap = P("fake://x")
if step == "seek":
    cap.start()
    assert wait_until(lambda: cap.current_frame_number >= 1)
touched = []
def sink(message):
    if message.record["message"] == "marker":
        time.sleep(0.3)
        touched.append(cap.get_frame_with_number()[0] if step == "seek" else cap.stop())
logger.add(sink, format="{message}")
other = threading.Thread(target=logger.info, args=("marker",), daemon=True)
other.start()
time.sleep(0.1)                      # the sink sleeps, holding loguru's lock
result = cap.seek(5) if step == "seek" else cap.start()
other.join(5)
running = cap.is_running()
cap.stop()
print(json.dumps(dict(result=result, touched=len(touched), stuck=other.is_alive(),
                      running=running)))
""", "", step, timeout=20)
    assert outcome == dict(result=True, touched=1, stuck=False, running=step == "seek")


def test_stop_during_a_long_pacing_wait_returns_at_once_and_leaves_no_lines(run_python):
    """A source of 0.25 frames a second: stop cuts the worker's 4 s pacing wait short,
    the pass reads and publishes its frame, and the worker has ended when stop returns,
    well within stop's 1 s wait. Nothing is logged after stop returns."""
    outcome = run_json(run_python, """
use_python_source(frames=None, fps=0.25)
lines = []
logger.add(lambda m: lines.append((time.monotonic(), m.record["message"])), format="{message}")
cap = P("fake://x")
cap.start()
assert wait_until(lambda: cap.current_frame_number == 1)
time.sleep(0.3)                      # the worker waits for its next read
t0 = time.monotonic()
cap.stop()
returned = time.monotonic()
alive = cap.thread.is_alive()
time.sleep(0.3)
print(json.dumps(dict(elapsed=returned - t0, alive=alive, number=cap.current_frame_number,
                      after=[text for t, text in lines if t >= returned])))
""", "", timeout=20)
    assert 0 <= outcome["elapsed"] < 0.5
    assert not outcome["alive"] and outcome["after"] == [] and outcome["number"] == 2


@pytest.mark.parametrize("read", ["slow", "hung"])
def test_ctrl_c_while_seek_waits_for_a_busy_source(run_python, read):
    """The worker is inside a read that takes 4 s, or never returns: SIGINT half a second
    into `seek` raises KeyboardInterrupt from it within a moment, with nothing changed
    (no position set, the lock free, the number as it was, the capture running)."""
    outcome = run_json(run_python, """
import signal
gate = threading.Event()
delay = 4.0 if sys.argv[2] == "slow" else 60.0
source = use_python_source(frames=None, fps=100.0, count=100.0,
                           hook=lambda s: gate.wait(delay) and None if len(s.reads) == 3 else None)
cap = P("fake://x")
cap.start()
assert wait_until(lambda: len(source.instances[0].reads) == 3)   # the worker's long read
before = cap.current_frame_number
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
t0 = time.monotonic()
try:
    outcome = "returned %r" % cap.seek(50)
except KeyboardInterrupt:
    outcome = "interrupted"
state = dict(outcome=outcome, elapsed=time.monotonic() - t0, locked=cap.lock.locked(),
             same_number=cap.current_frame_number == before,
             sets=source.instances[0].sets, running=cap.is_running())
gate.set()
cap.stop()
print(json.dumps(state))
""", "", read, timeout=20)
    assert outcome.pop("elapsed") < 0.5 + 1.0
    assert outcome == dict(outcome="interrupted", locked=False, same_number=True, sets=[],
                           running=True)


SLOW_MJPEG_SERVER = """
import socket
import cv2
# Answers an HTTP request 1.5 s late with a few MJPEG frames, then keeps the connection
# until the client closes it.
listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen(4)
url = "http://127.0.0.1:%d/cam.mjpg" % listener.getsockname()[1]
accepted, closed = threading.Event(), threading.Event()
def serve():
    conn, _ = listener.accept()
    accepted.set()
    time.sleep(1.5)
    jpeg = cv2.imencode(".jpg", make_frame(0))[1].tobytes()
    conn.sendall(b"HTTP/1.0 200 OK\\r\\nContent-Type: multipart/x-mixed-replace;boundary=frame"
                 b"\\r\\n\\r\\n")
    try:
        for _ in range(30):
            conn.sendall(b"--frame\\r\\nContent-Type: image/jpeg\\r\\nContent-Length: %d\\r\\n\\r\\n"
                         % len(jpeg) + jpeg + b"\\r\\n")
        conn.settimeout(10)
        while conn.recv(65536):
            pass
    except OSError:                  # closed by the client while sending: closed all the same
        pass
    closed.set()
threading.Thread(target=serve, daemon=True).start()
"""


@pytest.mark.parametrize("kind", ["python", "native"])
def test_reopen_that_outlasts_stop_releases_what_it_opened(run_python, clip_short, kind):
    """The worker's re-open takes longer than stop waits for it; when the source opens at
    last, the run is over: the source is released, not installed."""
    outcome = run_json(run_python, "from clips import make_frame\n" + SLOW_MJPEG_SERVER + """
if sys.argv[2] == "python":
    reopening = threading.Event()
    def slow_reopen(i):
        if i:
            reopening.set(); time.sleep(1.5)
    source = use_python_source(frames=3, fps=100.0, create_hook=slow_reopen)
    cap = P("fake://x")
    cap.start()
    assert reopening.wait(5)
else:
    cap = P(clip)
    cap.start()
    cap.video_path = url             # the re-open at the clip's end opens this
    assert accepted.wait(5)
cap.stop()
cap.thread.join(5)
if sys.argv[2] == "python":
    released = [s.released >= 1 for s in source.instances] == [True, True]
else:
    released = closed.wait(5)
print(json.dumps(dict(cap=repr(cap.cap), released=released, running=cap.is_running(),
                      alive=cap.thread.is_alive())))
""", clip_short, kind, timeout=30)
    assert outcome == dict(cap="None", released=True, running=False, alive=False)


# ---------------------------------------------------------------------------------------
# The re-entrancy matrix: every public method, called once from every point where Python
# code runs inside a capture. METHODS maps a name to the call made on `cap`; POINTS maps a
# point to the hook that calls back and the thread it must run on ("main", "worker" or
# "any"). The child interpreter runs every method for one point, each under a watchdog
# that dumps every thread's stack and ends the child when a cell outlasts CELL_LIMIT_S.

METHODS = {
    "start": "cap.start()",
    "stop": "cap.stop()",
    "pause": "cap.pause()",
    "resume": "cap.resume()",
    "seek": "cap.seek(1)",
    "get_frame": "cap.get_frame(True, 0.2)",
    "get_frame_with_number": "cap.get_frame_with_number()",
    "get_frame_with_info": "cap.get_frame_with_info(True, 0.2)",
    "get_video_info": "cap.get_video_info()",
    "frame_ready.wait": "cap.frame_ready.wait(0.2)",
    "lock.acquire": "cap.lock.acquire() and cap.lock.release()",
}

POINTS = {
    "constructor": ("init", "main"),             # start opening the source
    "constructor_reopen": ("init", "worker"),    # the worker re-opening it
    "isOpened": ("isOpened", "main"),
    "get": ("get", "main"),
    "set": ("set", "main"),                      # inside seek, which holds the lock
    "read": ("read", "worker"),
    "release_reopen": ("release", "worker"),
    "release_stop": ("release", "main"),
    "loguru_sink": ("log", "main"),              # start's information line
    "signal_start": ("signal", "main"),          # while start opens a slow source
    "signal_wait": ("signal", "main"),           # while get_frame waits for a frame
    "signal_stop": ("signal", "main"),           # while stop waits for the worker
    "subclass": ("subclass", "worker"),          # _capture_loop, after the loop
    "finaliser": ("del", "any"),                 # of a source the capture lets go
}

CELL_LIMIT_S = 10.0

MATRIX_CHILD = """
import faulthandler, gc, json, os, signal, sys, threading, time
import numpy as np
import corvane.plugins.video.capture as mod
from loguru import logger
logger.remove()
P = mod.ParallVideoCapture
point, (hook_name, hook_thread) = sys.argv[1], json.loads(sys.argv[2])
methods, limit = json.loads(sys.argv[3]), float(sys.argv[4])
opened, token, done, result, holder = [], [], threading.Event(), {}, {}

def describe(value):
    return repr(value) if value is None or isinstance(value, (bool, int)) else type(value).__name__

def hook(name):
    if name != hook_name:
        return
    main = threading.current_thread() is threading.main_thread()
    if hook_thread != "any" and main != (hook_thread == "main"):
        return
    try:
        token.pop()                  # once per cell, whichever thread comes first
    except IndexError:
        return
    cap = holder["cap"]
    try:
        result["value"] = describe(eval(holder["call"]))
    except BaseException as exc:
        result["value"] = type(exc).__name__
    done.set()

class Source:
    def __init__(self, path):
        if point == "signal_start" and threading.current_thread() is threading.main_thread():
            time.sleep(0.3)
        hook("init")
        self.state, self.pos = {"released": 0, "gone": False}, 0
        opened.append(self.state)
    def isOpened(self):
        hook("isOpened"); return True
    def get(self, prop):
        hook("get"); return {7: 3.0, 5: 100.0, 3: 8.0, 4: 8.0}.get(prop, 0.0)
    def set(self, prop, value):
        hook("set"); self.pos = int(value); return True
    def read(self):
        hook("read")
        if point == "signal_stop":
            time.sleep(0.3)
        if self.pos >= 3:
            return False, None
        self.pos += 1
        return True, np.full((8, 8, 3), self.pos, np.uint8)
    def release(self):
        hook("release"); self.state["released"] += 1
    def __del__(self):
        self.state["gone"] = True    # dropped: closed as a cv2.VideoCapture closes when dropped
        hook("del")

class Own(P):
    def _capture_loop(self):
        super()._capture_loop()
        hook("subclass")

mod.cv2.VideoCapture = Source
if point == "loguru_sink":
    logger.add(lambda message: hook("log"), format="{message}")
signal.signal(signal.SIGUSR1, lambda *a: hook("signal"))

def signal_soon():
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()

def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)

def workers():
    return [t for t in threading.enumerate() if "_capture_loop" in t.name]

for method, call in methods.items():
    print("CELL", method, flush=True)
    faulthandler.dump_traceback_later(limit, exit=True)
    opened.clear(); done.clear(); result.clear(); token.append(1)
    cap = holder["cap"] = (Own if point == "subclass" else P)("fake://m", point != "subclass")
    holder["call"] = call
    if point == "signal_start":
        signal_soon()
    cap.start()
    wait_until(done.is_set, 0.5)
    if point == "signal_wait":
        cap.pause(); time.sleep(0.05); cap.frame_ready.clear()
        signal_soon(); cap.get_frame(True, 0.5)
        cap.resume()
    cap.seek(1)
    wait_until(done.is_set, 0.5)
    time.sleep(0.05)
    # is_running() is True only while a worker reads.
    consistent = not cap.is_running() or (cap.thread is not None and cap.thread.is_alive())
    if point == "signal_stop":
        signal_soon()
    cap.stop()
    done.wait(limit / 2)
    gc.collect()
    cap.stop()                       # once more: a call back may have started it again
    for t in workers():
        t.join(3)
    gc.collect()
    faulthandler.cancel_dump_traceback_later()
    print(json.dumps(dict(method=method, fired=done.is_set(), result=result.get("value"),
                          consistent=consistent, running=cap.is_running(),
                          workers=len(workers()), unreleased=sum(not (s["released"] or s["gone"]) for s in opened),
                          sources=len(opened))), flush=True)
    holder.clear()
    del cap
    gc.collect()
"""

_matrix_runs = {}


def _matrix_results(point):
    """Runs the child of every point at the first request, all at once, and returns the
    outcome of each method at `point` (None for a cell that never ended)."""
    if not _matrix_runs:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([HERE, os.path.dirname(HERE)] +
                                            env.get("PYTHONPATH", "").split(os.pathsep))
        for name, hook in POINTS.items():
            _matrix_runs[name] = subprocess.Popen(
                [sys.executable, "-c", MATRIX_CHILD, name, json.dumps(hook), json.dumps(METHODS),
                 str(CELL_LIMIT_S)],
                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    run = _matrix_runs[point]
    if not isinstance(run, dict):
        try:
            out, err = run.communicate(timeout=CELL_LIMIT_S * (len(METHODS) + 2))
        except subprocess.TimeoutExpired:
            run.kill()
            out, err = run.communicate()
        cells = {}
        for line in out.splitlines():
            if line.startswith("{"):
                cell = json.loads(line)
                cells[cell["method"]] = cell
        run = _matrix_runs[point] = dict(cells=cells, stderr=err, returncode=run.returncode)
    return run


@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("point", sorted(POINTS))
def test_reentry_matrix(point, method):
    run = _matrix_results(point)
    cell = run["cells"].get(method)
    assert cell is not None, f"the cell did not end within {CELL_LIMIT_S} s:\n{run['stderr']}"
    assert cell["fired"], cell
    assert cell["consistent"] and not cell["running"] and cell["workers"] == 0, cell
    assert cell["sources"] >= 1 and cell["unreleased"] == 0, cell
