"""Installing the plug-in: `pip install .` into a plain virtual environment (numpy and cv2 from
PyPI), offline into one over Debian's packages where the release has what the build needs,
and `cmake --install` into a prefix. Each installed copy is imported from where it was installed,
next to the stand-in framework's corvane.nodes, and plays a clip through a tree."""
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from environments import (HOST_DIR, PY_TESTS_DIR, REPO_DIR, TEST_PACKAGES, environ, make_venv,
                          pip_install, run, run_suite, site_packages)


# What a source checkout must not carry into the copy that pip builds from.
NOT_SOURCES = shutil.ignore_patterns(".git", "build", "build-*", "_skbuild", ".venv", "dist",
                                     "*.egg-info", "__pycache__", ".mypy_cache", ".pytest_cache")

# Run by the installed interpreter with PYTHONPATH holding only the stand-in framework and the
# tests' helpers: checks where everything comes from, then plays a clip through both pairs.
SMOKE = r"""
import json, os, sys
import corvane.nodes as framework
import corvane.plugins.video.capture as capture
import corvane.plugins.video.nodes as nodes
from corvane.nodes import Entry, NodeStatus, Tree
import clips

clip = clips.write_clip(os.path.join(sys.argv[1], "smoke.mkv"), frames=20, fps=50.0)
tree = Tree()
tree.add(nodes.CreateThreadedVideoCapture, once=True, config={"video_source": clip})
tree.add(nodes.ReadThreadedFrame)
tree.add(nodes.CreateVideoCapture, once=True, video_source=clip,
         video_capture=Entry("direct_capture"))
tree.add(nodes.ReadFrame, video_capture=Entry("direct_capture"), frame=Entry("direct_frame"))
try:
    result = tree.run(50, duration=2.0, until=lambda: "frame" in tree.blackboard)
finally:
    tree.blackboard["video_capture"].stop()
package_dir = os.path.dirname(capture.__file__)
print(json.dumps({
    "capture": capture.__file__, "nodes": nodes.__file__, "framework": framework.__file__,
    "versions": [capture.__version__, nodes.__version__],
    "package_files": sorted(os.listdir(package_dir)),
    "status": result.status.name,
    "ticks": result.ticks,
    "threaded_frame": clips.frame_index(tree.blackboard["frame"]),
    "direct_frame": clips.frame_index(tree.blackboard["direct_frame"]),
}))
"""


def project_version():
    with open(os.path.join(REPO_DIR, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(corvane_video VERSION ([0-9.]+)", f.read(), re.M).group(1)


def framework_env(site_dir=None):
    """The environment of an installed copy: the stand-in framework and the tests' helpers on
    the path, never the build tree."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    env["PYTHONPATH"] = os.pathsep.join([HOST_DIR, PY_TESTS_DIR] + ([site_dir] if site_dir else []))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def check_installed(python, site_dir, tmp_path, env):
    smoke = run([python, "-c", SMOKE, str(tmp_path)], timeout=60, env=env, cwd=tmp_path)
    report = json.loads(smoke.stdout.strip().splitlines()[-1])
    package_dir = os.path.join(site_dir, "corvane", "plugins", "video")
    assert os.path.dirname(report["capture"]) == package_dir
    assert os.path.dirname(report["nodes"]) == package_dir
    assert report["framework"] == os.path.join(HOST_DIR, "corvane", "nodes", "__init__.py")
    assert report["versions"] == [project_version()] * 2
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert report["package_files"] == sorted(["capture" + suffix, "nodes" + suffix, "capture.pyi",
                                              "nodes.pyi", "py.typed"])
    # Namespace packages all the way down, so the framework's corvane merges with ours; the
    # stand-in framework is not installed.
    for parts in [(), ("plugins",), ("plugins", "video")]:
        assert not os.path.exists(os.path.join(site_dir, "corvane", *parts, "__init__.py"))
    assert os.listdir(os.path.join(site_dir, "corvane")) == ["plugins"]
    assert os.listdir(os.path.join(site_dir, "corvane", "plugins")) == ["video"]
    assert report["status"] == "SUCCESS"
    assert 0 <= report["threaded_frame"] < 20
    assert report["direct_frame"] == report["ticks"] - 1  # ReadFrame reads one frame a tick


def debian_offline_build_missing():
    """What Debian's own packages lack for the offline build, or "" when they have it all."""
    probe = ("import importlib.metadata as m; v = m.version('pybind11'); m.version("
             "'scikit-build-core'); print(v)")
    done = subprocess.run(["/usr/bin/python3", "-c", probe], capture_output=True, text=True)
    if done.returncode != 0:
        return "scikit-build-core or pybind11 (python3-scikit-build-core, python3-pybind11)"
    if tuple(int(p) for p in done.stdout.split(".")[:2]) < (2, 12):
        return "pybind11 >= 2.12 (this release has %s)" % done.stdout.strip()
    return ""


@pytest.mark.slow
def test_pip_installs_into_a_plain_virtual_environment(tmp_path):
    """The virtual-environment route: the first python3 on PATH, nothing of the system's
    Python, numpy and cv2 from PyPI (cv2 through the [opencv] extra), an isolated build."""
    python = make_venv(shutil.which("python3"), tmp_path / "venv", ["numpy", "loguru", *TEST_PACKAGES])
    pip_install(python, [REPO_DIR + "[opencv]"])
    site_dir = site_packages(python)
    assert site_dir.startswith(str(tmp_path / "venv"))
    check_installed(python, site_dir, tmp_path, framework_env())
    run_suite(python)


@pytest.mark.slow
@pytest.mark.skipif(bool(debian_offline_build_missing()), reason="Debian's packages lack " +
                    debian_offline_build_missing())
def test_pip_installs_offline_with_debians_packages(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(REPO_DIR, source, ignore=NOT_SOURCES, symlinks=True)
    python = make_venv("/usr/bin/python3", tmp_path / "venv", [], system_site_packages=True)
    run([python, "-m", "pip", "install", "--no-build-isolation", "."], timeout=600,
        env=environ(PIP_NO_INDEX="1"), cwd=source)
    site_dir = site_packages(python)
    assert site_dir.startswith(str(tmp_path / "venv"))
    check_installed(python, site_dir, tmp_path, framework_env())
    run_suite(python, ["nodes", "capture/test_capture_object.py"])


def test_a_build_without_opencv_says_what_to_install(tmp_path):
    done = subprocess.run(["cmake", "-S", REPO_DIR, "-B", str(tmp_path / "build"),
                           "-DCMAKE_DISABLE_FIND_PACKAGE_OpenCV=ON", "-DCORVANE_BUILD_TESTS=OFF",
                           "-DPython_EXECUTABLE=" + sys.executable],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert "apt-get install libopencv-dev" in " ".join(done.stderr.split())


def test_cmake_install_lays_out_the_package_below_the_prefix(tmp_path):
    import corvane.plugins.video.capture as built
    build_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.dirname(built.__file__)))))
    assert os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")), build_dir
    prefix = tmp_path / "prefix"
    run(["cmake", "--install", build_dir, "--prefix", str(prefix)], timeout=60)
    relative = sysconfig.get_path("platlib", "posix_prefix", vars={"base": ".", "platbase": "."})
    site_dir = str(prefix / relative.removeprefix("./"))
    check_installed(sys.executable, site_dir, tmp_path, framework_env(site_dir))
