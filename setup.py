"""Wheel build of corvane-video (pip install .).

scikit-build runs the project's CMake build and collects what cmake/install.cmake installs,
the two extension modules with their stubs and py.typed, into corvane/plugins/video/. The
package has no __init__.py at any level, so it merges with the framework's own corvane
package. The version is the one in the top-level CMakeLists.txt's project() line.
"""
import os
import re
import sys

from skbuild import setup

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        match = re.search(r"^\s*project\(\s*corvane_video\s+VERSION\s+([0-9][0-9.]*)\b",
                          cmake_lists.read(), re.MULTILINE)
    if match is None:
        raise RuntimeError("CMakeLists.txt has no project(corvane_video VERSION x.y.z) line")
    return match.group(1)


# `cmake --build` reads this for Ninja and Make alike; without it Ninja runs more jobs than
# there are cores.
os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))

setup(
    version=project_version(),
    packages=["corvane.plugins.video"],
    package_dir={"corvane.plugins.video": "src/corvane/plugins/video"},
    # CMake installs the package tree below <install prefix>/src, mirroring package_dir.
    cmake_install_dir="src",
    cmake_args=[
        "-DPython_EXECUTABLE=" + sys.executable,
        "-DCORVANE_BUILD_TESTS=OFF",
    ],
    cmake_install_target="install/strip",
)
