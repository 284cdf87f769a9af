"""A scriptable Python video source for the capture tests.

`make_fake_class(...)` returns a fresh subclass of `FakeSource` that the tests install as
`cv2.VideoCapture` of the capture module. Each class keeps its own list of instances, so
a test sees every source the capture constructed (at start and at each re-open). Frames
are small images that encode their position, readable with `clips.frame_index`.
"""
import threading
import time

from clips import make_frame

POS_FRAMES, WIDTH, HEIGHT, FPS, FRAME_COUNT = 1, 3, 4, 5, 7
SIZE = 32


class FakeSource:
    frames = 50            # frames the source can read; None reads for ever
    props = {}             # property id -> value answered by get
    opens = True           # isOpened result, or a callable(source) giving it
    read_delay = 0.0       # seconds each read takes
    hook = None            # callable(source) run first in each read; a non-None result is returned
    create_hook = None     # callable(index) run first in the constructor (may raise)
    set_hook = None        # callable(source, prop, value) run first in set (may raise)
    release_hook = None    # callable(source) run first in release (may raise)

    def __init__(self, path):
        cls = type(self)
        if cls.create_hook is not None:
            cls.create_hook(len(cls.instances))
        self.path = path
        self.pos = 0
        self.released = 0
        self.reads = []    # (monotonic time at the start of the read, position)
        self.sets = []
        with cls.mutex:
            self.index = len(cls.instances)
            cls.instances.append(self)

    def isOpened(self):
        opens = type(self).opens
        return opens(self) if callable(opens) else opens

    def get(self, prop):
        return type(self).props.get(prop, 0.0)

    def set(self, prop, value):
        self.sets.append((prop, value))
        if type(self).set_hook is not None:
            type(self).set_hook(self, prop, value)
        if prop == POS_FRAMES:
            self.pos = value
        return True

    def read(self):
        cls = type(self)
        self.reads.append((time.monotonic(), self.pos))
        if cls.hook is not None:
            result = cls.hook(self)
            if result is not None:
                return result
        if cls.read_delay:
            time.sleep(cls.read_delay)
        i = int(self.pos)
        if cls.frames is not None and i >= cls.frames:
            return False, None
        self.pos = i + 1
        return True, make_frame(i, SIZE, SIZE)

    def release(self):
        if type(self).release_hook is not None:
            type(self).release_hook(self)
        self.released += 1


def make_fake_class(frames=50, fps=100.0, count=None, width=float(SIZE), height=float(SIZE), **attrs):
    """A new FakeSource subclass; `count` is the reported frame count (default `frames`)."""
    if count is None:
        count = float(frames or 0)
    props = {FRAME_COUNT: count, FPS: fps, WIDTH: width, HEIGHT: height}
    for name in ("hook", "create_hook", "set_hook", "release_hook"):
        if attrs.get(name) is not None:
            attrs[name] = staticmethod(attrs[name])
    return type("FakeSource", (FakeSource,), dict(
        frames=frames, props=props, instances=[], mutex=threading.Lock(), **attrs))
