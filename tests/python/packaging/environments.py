"""Virtual environments for an installed copy of the plug-in: made from a given interpreter,
filled from PyPI, the plug-in built as a wheel or installed from the source tree, and the test
suite run against that copy with warnings as errors. Used by test_install.py and matrix.py."""
import os
import re
import subprocess

PACKAGING_DIR = os.path.dirname(os.path.abspath(__file__))
PY_TESTS_DIR = os.path.dirname(PACKAGING_DIR)
REPO_DIR = os.path.dirname(os.path.dirname(PY_TESTS_DIR))
HOST_DIR = os.path.join(REPO_DIR, "host")

# What the suite needs besides the plug-in's own dependencies.
TEST_PACKAGES = ["pytest", "mypy"]

# The part of the suite that runs in every environment: the nodes, the capture's Python
# surface and frames, the stubs, the environment checks (native decoding, the frames cv2
# decodes, publishing under a busy main thread, two OpenCVs in one process), and every
# publication compared with the decoder's frame on clips of every kind. The
# reliability and live suites exercise the core, which is the same in every environment.
SUITE = ["nodes", "capture/test_capture_object.py", "capture/test_capture_frames.py",
         "capture/test_capture_lifecycle.py", "packaging/test_typing.py",
         "packaging/test_environment.py", "conformance"]

# The part of SUITE that runs under emulation (an arm64 root under qemu, many times slower),
# as pytest node ids: every publication and the frames after seeks identical to cv2's on an
# FFV1 clip and on an H.264 clip with B-frames; a live H.264 stream over loopback; start and
# stop on a clip; pause, a seek while paused and resume; both OpenCVs decoding at once in both
# import orders, then exit with the capture running; no OpenCV symbol exported.
EMULATED_SUITE = [
    "conformance/test_frame_conformance.py::"
    "test_every_publication_is_the_frame_cv2_decodes[ffv1-odd-161x121]",
    "conformance/test_frame_conformance.py::"
    "test_every_publication_is_the_frame_cv2_decodes[h264-bframes-seek]",
    "conformance/test_frame_conformance.py::"
    "test_a_live_stream_that_changes_size_shows_each_part[h264-live-320x240-to-160x120]",
    "capture/test_capture_lifecycle.py::test_start_and_stop_on_a_clip",
    "capture/test_capture_control.py::test_seek_on_a_paused_clip_then_resume",
    "packaging/test_environment.py::test_two_opencvs_in_one_process",
    "packaging/test_environment.py::test_an_opencv_carried_inside_a_module_is_not_exported",
]

# What an environment reports about itself: its interpreter and the packages it decodes with.
VERSIONS = ("import json, platform, numpy, cv2; print(json.dumps({'python': "
            "platform.python_version(), 'numpy': numpy.__version__, 'cv2': cv2.__version__}))")


class CommandFailed(AssertionError):
    pass


def environ(**extra):
    """The environment for a child: nothing of the caller's Python settings, pip quiet."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", CMAKE_BUILD_PARALLEL_LEVEL="2",
               PYTHONDONTWRITEBYTECODE="1")
    env.update(extra)
    return env


def run(command, timeout, env=None, **kwargs):
    """Run `command`; a failure or time-out raises CommandFailed with what it printed."""
    try:
        done = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                              timeout=timeout, env=env or environ(), **kwargs)
    except subprocess.TimeoutExpired as exc:
        raise CommandFailed("%s did not finish in %d s:\n%s\n%s"
                            % (command[:4], timeout, exc.stdout, exc.stderr)) from None
    if done.returncode != 0:
        raise CommandFailed("%s failed (%d):\n%s\n%s"
                            % (command, done.returncode, done.stdout[-6000:], done.stderr[-6000:]))
    return done


def make_venv(python, path, packages, system_site_packages=False):
    """Create a virtual environment at `path` from `python`, pip-install `packages` into it and
    return its interpreter."""
    command = [python, "-m", "venv", path]
    if system_site_packages:
        command.insert(3, "--system-site-packages")
    run(command, timeout=120)
    venv_python = os.path.join(path, "bin", "python")
    if packages:
        pip_install(venv_python, packages)
    return venv_python


def pip_install(python, args, timeout=900, prefix=(), **extra_env):
    """pip-install `args` with `python`; `prefix` is a command that runs pip (e.g. in a
    sandbox)."""
    return run([*prefix, python, "-m", "pip", "install", "-q", *args], timeout=timeout,
               env=environ(**extra_env), cwd=REPO_DIR)


def build_wheel(python, out_dir):
    """Build the plug-in's wheel with `python` (build isolation: scikit-build-core and pybind11
    from PyPI) into `out_dir`; return the wheel's path and the pybind11 version it used."""
    done = run([python, "-m", "pip", "wheel", "-v", "--no-deps", "-w", out_dir, REPO_DIR],
               timeout=1500, cwd=REPO_DIR)
    pybind11 = re.findall(r'Found pybind11: .*\(found version "([0-9.]+)"\)',
                          done.stdout + done.stderr)
    wheels = [name for name in os.listdir(out_dir) if name.endswith(".whl")]
    assert len(wheels) == 1, wheels
    return os.path.join(out_dir, wheels[0]), (pybind11[-1] if pybind11 else "")


def versions(python, pythonpath=None):
    import json
    env = environ(PYTHONPATH=pythonpath) if pythonpath else environ()
    return json.loads(run([python, "-c", VERSIONS], timeout=60, env=env).stdout)


def site_packages(python):
    return run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
               timeout=30).stdout.strip()


def pytest_command(python, tests_dir=PY_TESTS_DIR, paths=SUITE):
    """The command that runs the pytest files `paths` (relative to `tests_dir`, the tests/python
    folder as the interpreter sees it) with warnings as errors."""
    return [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "error",
            *[tests_dir + "/" + p for p in paths]]


def closing_line(done):
    return done.stdout.strip().splitlines()[-1]


def suite_counts(closing):
    """'229 passed, 1 skipped' from pytest's closing line."""
    return re.sub(r"\s+in [0-9.]+s.*$", "", closing.strip("= "))


def run_suite(python, paths=SUITE, pythonpath=(HOST_DIR,), timeout=900, prefix=()):
    """Run the pytest files `paths` (relative to tests/python) with `python`, warnings as
    errors, behind the command `prefix` if any; return pytest's closing line. A failure raises
    CommandFailed."""
    env = environ(PYTHONPATH=os.pathsep.join(pythonpath))
    done = run([*prefix, *pytest_command(python, PY_TESTS_DIR, paths)], timeout=timeout,
               env=env, cwd=PY_TESTS_DIR)
    return closing_line(done)
