"""STAND-IN for the corvane framework's node interface (module ``corvane.nodes``).

This is not the framework. It is the smallest host that lets the video plug-in's nodes be
ticked in this repository's tests and demo, and it is never installed with the plug-in. It
provides what the nodes use (``NodeStatus``, ``SimpleActionNode``, ``TreeNode`` with
``getInputString``, ``getInputObject`` and ``setOutput``) and a minimal ``Tree`` runner:

- nodes are ticked in a sequence, in the order they were added; a node that returns anything
  but ``NodeStatus.SUCCESS`` ends that round early;
- every port is wired to a blackboard entry, by default the entry named like the port;
  ``Entry("key")`` wires it to another entry, and any other value given for an input port is a
  literal that the input yields on every tick (a string for "video_source", a mapping for
  "config");
- ``setOutput`` accepts a declared output port name, and also a key "out:<type>:<name>" that
  writes the declared output <name> of that type;
- errors raised by a tick are not caught: they leave ``Tree.tick`` and ``Tree.run``.

Everything runs on the thread that calls ``Tree.tick`` or ``Tree.run``.
"""
import enum
import time

__all__ = ["NodeStatus", "SimpleActionNode", "TreeNode", "Tree", "Entry", "PortError"]


class NodeStatus(enum.Enum):
    """Result of a tick."""

    IDLE = 0
    RUNNING = 1
    SUCCESS = 2
    FAILURE = 3


class PortError(LookupError):
    """A port name that the node does not declare, or a wiring that does not fit the ports."""


class SimpleActionNode:
    """Base class of action nodes.

    A subclass declares its ports in the class attribute ``ports`` (a list of dictionaries with
    the keys "name", "type", "direction" and "description") and defines a static ``tick(node)``
    that receives the node's ``TreeNode`` handle and returns a ``NodeStatus``.
    """

    ports = []

    @staticmethod
    def tick(node):
        raise NotImplementedError("an action node must define a static tick(node)")


class Entry:
    """Reference to a blackboard entry, used to wire a port to an entry of another name."""

    __slots__ = ("key",)

    def __init__(self, key):
        if not isinstance(key, str):
            raise TypeError("a blackboard key must be a str, not " + type(key).__name__)
        self.key = key

    def __eq__(self, other):
        return isinstance(other, Entry) and other.key == self.key

    def __hash__(self):
        return hash(self.key)

    def __repr__(self):
        return "Entry(%r)" % self.key


# What an input yields when its entry was never written.
_NOTHING = object()


class TreeNode:
    """Handle through which a node's tick reads its inputs and writes its outputs."""

    def __init__(self, name, node_class, blackboard, inputs, outputs):
        self.name = name
        self.node_class = node_class
        self.tick_times = []  # wall-clock seconds of each tick, in tick order
        self._blackboard = blackboard
        self._inputs = inputs  # port name -> Entry or literal value
        self._outputs = outputs  # port name -> (port type, Entry)

    def __repr__(self):
        return "<TreeNode %r (%s)>" % (self.name, self.node_class.__name__)

    def _input(self, name):
        try:
            source = self._inputs[name]
        except (KeyError, TypeError):
            raise PortError("node %r (%s) has no input port %r"
                            % (self.name, self.node_class.__name__, name)) from None
        if isinstance(source, Entry):
            return self._blackboard.get(source.key, _NOTHING)
        return source

    def getInputObject(self, name):
        """Value of input `name` as the producer wrote it (the same object); None if it holds nothing."""
        value = self._input(name)
        return None if value is _NOTHING else value

    def getInputString(self, name):
        """Text of input `name`; an input holding nothing or a non-string is an error."""
        value = self._input(name)
        if value is _NOTHING or value is None:
            raise PortError("input port %r of node %r holds nothing" % (name, self.name))
        if not isinstance(value, str):
            raise TypeError("input port %r of node %r holds a %s, not a str"
                            % (name, self.name, type(value).__name__))
        return value

    def setOutput(self, name, value):
        """Write `value` to the output named `name` or addressed as "out:<type>:<name>"."""
        self._blackboard[self._output_entry(name).key] = value

    def _output_entry(self, key):
        if not isinstance(key, str):
            raise TypeError("an output name must be a str, not " + type(key).__name__)
        if key in self._outputs:
            return self._outputs[key][1]
        parts = key.split(":", 2)
        if len(parts) == 3 and parts[0] == "out" and parts[2] in self._outputs:
            port_type, entry = self._outputs[parts[2]]
            if parts[1] == port_type:
                return entry
            raise PortError("node %r (%s): %r names output %r of type %r, but it is declared %r"
                            % (self.name, self.node_class.__name__, key, parts[2], parts[1],
                               port_type))
        raise PortError("node %r (%s) has no output port %r"
                        % (self.name, self.node_class.__name__, key))


class _Slot:
    __slots__ = ("handle", "once", "done")

    def __init__(self, handle, once):
        self.handle = handle
        self.once = once
        self.done = False


class RunResult:
    """What ``Tree.run`` did: number of ticks, seconds elapsed, status of the last tick."""

    __slots__ = ("ticks", "elapsed", "status")

    def __init__(self, ticks, elapsed, status):
        self.ticks = ticks
        self.elapsed = elapsed
        self.status = status

    @property
    def rate(self):
        return self.ticks / self.elapsed if self.elapsed > 0 else 0.0

    def __repr__(self):
        return "RunResult(ticks=%d, elapsed=%.3f, status=%s)" % (self.ticks, self.elapsed,
                                                               self.status)


class Tree:
    """A sequence of action nodes sharing one blackboard (a plain dict)."""

    def __init__(self, blackboard=None):
        self.blackboard = {} if blackboard is None else blackboard
        self._slots = []

    @property
    def nodes(self):
        return [slot.handle for slot in self._slots]

    def add(self, node_class, name=None, once=False, **wiring):
        """Append a node of `node_class` and return its handle.

        `wiring` maps port names to ``Entry`` references or, for inputs, literal values; ports
        not named are wired to the entry of the same name. With `once` set, the node is skipped
        after its first successful tick (for nodes that create something the others use).
        """
        if not (isinstance(node_class, type) and issubclass(node_class, SimpleActionNode)):
            raise TypeError("%r is not a SimpleActionNode subclass" % (node_class,))
        name = name or "%s#%d" % (node_class.__name__, len(self._slots) + 1)
        inputs, outputs = {}, {}
        for port in node_class.ports:
            port_name, port_type, direction = port["name"], port["type"], port["direction"]
            source = wiring.pop(port_name, Entry(port_name))
            if direction == "input":
                inputs[port_name] = source
            elif direction == "output":
                if not isinstance(source, Entry):
                    raise PortError("output port %r of node %r must be wired to an Entry, not %r"
                                    % (port_name, name, source))
                outputs[port_name] = (port_type, source)
            else:
                raise PortError("port %r of %s has direction %r"
                                % (port_name, node_class.__name__, direction))
        if wiring:
            raise PortError("%s declares no port named %s"
                            % (node_class.__name__, ", ".join(map(repr, wiring))))
        handle = TreeNode(name, node_class, self.blackboard, inputs, outputs)
        self._slots.append(_Slot(handle, once))
        return handle

    def tick(self):
        """Tick the nodes in order and return the status of the round."""
        for slot in self._slots:
            if slot.once and slot.done:
                continue
            handle = slot.handle
            started = time.perf_counter()
            try:
                status = handle.node_class.tick(handle)
            finally:
                handle.tick_times.append(time.perf_counter() - started)
            if not isinstance(status, NodeStatus):
                raise TypeError("tick of %r returned %r, not a NodeStatus" % (handle.name, status))
            if status is not NodeStatus.SUCCESS:
                return status
            slot.done = True
        return NodeStatus.SUCCESS

    def run(self, rate, duration=None, ticks=None, until=None):
        """Tick at `rate` per second until `duration` seconds, `ticks` ticks or `until()`.

        Sleeps between ticks (no spinning). A tick that overruns its slot is followed at once
        by the next one, without a burst to catch up.
        """
        if not rate > 0:
            raise ValueError("rate must be positive, not %r" % (rate,))
        if duration is None and ticks is None and until is None:
            raise ValueError("run needs a duration, a tick count or an until() condition")
        period = 1.0 / rate
        started = time.perf_counter()
        deadline = started
        count, status = 0, None
        while True:
            status = self.tick()
            count += 1
            now = time.perf_counter()
            deadline += period
            if ticks is not None and count >= ticks:
                break
            if duration is not None and deadline - started >= duration - 1e-9:
                break
            if until is not None and until():
                break
            delay = deadline - now
            if delay > 0:
                time.sleep(delay)
            else:
                deadline = now
        return RunResult(count, time.perf_counter() - started, status)
