"""Type information: the stubs agree with the built modules (mypy's stubtest, plus the
parameter lists that stubtest cannot read from pybind11 methods), and both modules report the
project's version."""
import ast
import importlib.metadata
import os
import re
import site
import subprocess
import sys

import pytest

import corvane.nodes
import corvane.plugins.video.capture as capture
import corvane.plugins.video.nodes as nodes

PACKAGING_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(PACKAGING_DIR)))
PACKAGE_DIR = os.path.dirname(capture.__file__)
PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.dirname(PACKAGE_DIR)))


def run_mypy_tool(args, cwd):
    env = dict(os.environ)
    if PYTHON_DIR in site.getsitepackages():
        # An installed copy is found in site-packages (which mypy refuses on MYPYPATH); the
        # framework's corvane.nodes, which nodes.pyi imports, is named wherever it is.
        env.update(MYPYPATH=os.path.dirname(os.path.dirname(os.path.dirname(
            corvane.nodes.__file__))))
    else:
        env.update(PYTHONPATH=PYTHON_DIR, MYPYPATH=PYTHON_DIR)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          timeout=120, cwd=cwd, env=env)


def test_stubtest_finds_the_stubs_consistent_with_the_modules(tmp_path):
    done = run_mypy_tool(["mypy.stubtest", "--allowlist",
                          os.path.join(PACKAGING_DIR, "stubtest_allowlist.txt"),
                          "corvane.plugins.video.capture", "corvane.plugins.video.nodes"],
                         cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# Code a user might write: the lines marked "# E: <code>" are the mistakes mypy must report,
# and nothing else may be reported.
USER_CODE = """\
import time
from corvane.plugins.video import capture, nodes
from corvane.plugins.video.capture import ParallVideoCapture

video = ParallVideoCapture("clip.mkv", auto_reload=False)
if video.start():
    frame = video.get_frame(wait_for_frame=True, timeout=0.5)
    if frame is not None:
        height, width = frame.shape[:2]
    number, image = video.get_frame_with_number()
    frame_info, _ = video.get_frame_with_info(True, timeout=0.5)
    if frame_info is not None:
        age: float = time.monotonic() - frame_info.monotonic
        position: float = frame_info.pos_msec or 0.0
    info = video.get_video_info()
    rate: float = info["fps"] * 2
    with video.lock:
        pass
    ready: bool = video.frame_ready.wait(0.1)
    video.cap.set(1, 10.0) if video.cap else None
video.stop()
tick = nodes.ReadThreadedFrame.tick
cv2_module = capture.cv2; setattr(cv2_module, "VideoCapture", object)
video.video_path = "other"
video.lock = video.lock  # E: misc
ParallVideoCapture(1)  # E: arg-type
video.seek("3")  # E: arg-type
info["nope"]  # E: typeddict-item
video.get_frame(True, "slow")  # E: arg-type
video.get_frame().shape  # E: union-attr
video.get_frame_with_info()[0].pos_msec  # E: union-attr
capture.FrameInfo(1, 2.0, None).pos_msec + 1  # E: operator
"""


def test_user_code_type_checks_against_the_stubs(tmp_path):
    (tmp_path / "use.py").write_text(USER_CODE, encoding="utf-8")
    done = run_mypy_tool(["mypy", "--cache-dir", os.devnull, "--no-error-summary",
                          "--show-error-codes", "use.py"], cwd=tmp_path)
    reported = sorted((int(line), code) for line, code in
                      re.findall(r"^use\.py:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M))
    expected = sorted((number, line.rsplit("# E: ", 1)[1])
                      for number, line in enumerate(USER_CODE.splitlines(), 1) if "# E: " in line)
    assert reported == expected, done.stdout + done.stderr


def stub_functions(stub_name):
    """{qualified name: [(parameter, default source or None), ...]} of a stub's methods."""
    with open(os.path.join(PACKAGE_DIR, stub_name), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        for fn in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
            if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
                continue
            args = fn.args.posonlyargs + fn.args.args
            defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
            params = [(a.arg, None if d is None else ast.literal_eval(d))
                      for a, d in zip(args, defaults) if a.arg != "self"]
            if fn.args.vararg is not None:
                params.append(("*" + fn.args.vararg.arg, None))
            found[cls.name + "." + fn.name] = params
    return found


def runtime_parameters(cls, method):
    """Parameters of a pybind11 method as its argument error lists them. The methods'
    docstrings carry no signature, so this is where the bound names and defaults show."""
    with pytest.raises(TypeError) as error:
        if method == "__init__":
            cls(_no_such_argument=1)
        else:
            getattr(cls, method)(None, _no_such_argument=1)
    match = re.search(r"^\s+1\. \S*?\((.*)\)", str(error.value), re.M)
    assert match, str(error.value)
    params = []
    for part in match.group(1).split(", "):
        name, _, rest = part.partition(": ")
        if name == "self" or part in ("*args", "**kwargs"):
            continue
        _, _, default = rest.partition(" = ")
        params.append((name, ast.literal_eval(default) if default else None))
    return params


CLASSES = {"ParallVideoCapture": capture.ParallVideoCapture,
           "_CaptureLock": capture._CaptureLock,
           "_FrameReadyEvent": capture._FrameReadyEvent,
           "_NativeVideoCapture": capture._NativeVideoCapture}


@pytest.mark.parametrize("qualname", sorted(
    name for name in stub_functions("capture.pyi")
    if name.split(".")[0] in CLASSES and name.split(".")[1] not in ("__del__", "__exit__")))
def test_stub_parameters_match_the_bound_names_and_defaults(qualname):
    class_name, method = qualname.split(".")
    stub = stub_functions("capture.pyi")[qualname]
    runtime = runtime_parameters(CLASSES[class_name], method)
    if class_name == "_NativeVideoCapture":
        # Positional-only in the stub: only the count and defaults are bound.
        assert [d for _, d in stub] == [d for _, d in runtime]
    else:
        assert stub == runtime


def test_both_modules_and_the_wheel_report_the_project_version():
    with open(os.path.join(REPO_DIR, "CMakeLists.txt"), encoding="utf-8") as f:
        version = re.search(r"^project\(corvane_video VERSION ([0-9.]+)", f.read(), re.M).group(1)
    assert capture.__version__ == nodes.__version__ == version
    # The wheel's version is the same line, read with the regular expression pyproject.toml
    # gives scikit-build-core; an installed copy reports it as its distribution's version.
    with open(os.path.join(REPO_DIR, "pyproject.toml"), encoding="utf-8") as f:
        pattern = re.search(r"^regex = '(.*)'$", f.read(), re.M).group(1)
    with open(os.path.join(REPO_DIR, "CMakeLists.txt"), encoding="utf-8") as f:
        assert re.search(pattern, f.read()).group("value") == version
    try:
        installed = importlib.metadata.distribution("corvane-video")
    except importlib.metadata.PackageNotFoundError:
        installed = None
    if installed is not None and os.path.dirname(capture.__file__).startswith(
            str(installed.locate_file(""))):
        assert installed.version == version
    for stub in ("capture.pyi", "nodes.pyi"):
        with open(os.path.join(PACKAGE_DIR, stub), encoding="utf-8") as f:
            assert "\n__version__: str\n" in f.read()
