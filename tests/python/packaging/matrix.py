"""The environments the plug-in is tested in, as one command (`make matrix`).

Cells: Debian's /usr/bin/python3 with Debian's packages (against the `make build` tree); a
plain virtual environment of every CPython 3.9-3.13 under pyenv with the newest numpy and
opencv-python-headless; numpy 1.26 with an OpenCV 4.x wheel. One wheel is built per Python
version (build isolation) and installed into that version's cells. Each cell runs
environments.SUITE against its copy with warnings as errors. Results go to
<out>/results.json and, as the table of docs/installing.md, <out>/results.md.

Run: python3 tests/python/packaging/matrix.py [--out build-matrix] [--build-dir build]
     [--only NAME ...] [--reuse-wheels]
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time

from environments import (REPO_DIR, HOST_DIR, TEST_PACKAGES, CommandFailed,
                          build_wheel, make_venv, pip_install, run_suite, suite_counts,
                          versions)

NEWEST = ["numpy", "opencv-python-headless"]
NUMPY1 = ["numpy==1.26.*", "opencv-python-headless>=4,<5"]


def pyenv_pythons(minors=("3.9", "3.10", "3.11", "3.12", "3.13")):
    """The newest installed patch release of each minor version under pyenv."""
    root = os.path.expanduser(os.environ.get("PYENV_ROOT", "~/.pyenv"))
    found = {}
    for path in glob.glob(os.path.join(root, "versions", "3.*")):
        match = re.fullmatch(r"(3\.\d+)\.(\d+)", os.path.basename(path))
        python = os.path.join(path, "bin", "python3")
        if match and match.group(1) in minors and os.access(python, os.X_OK):
            key = (tuple(int(part) for part in match.group(1).split(".")), int(match.group(2)))
            if match.group(1) not in found or key > found[match.group(1)][0]:
                found[match.group(1)] = (key, python)
    return {minor: python for minor, (_, python) in sorted(found.items(),
                                                             key=lambda kv: kv[1][0])}


def cells():
    """(name, interpreter, packages) of each virtual-environment cell."""
    pythons = pyenv_pythons()
    result = [("py%s-newest" % minor, python, NEWEST) for minor, python in pythons.items()]
    if "3.11" in pythons:
        result.append(("py3.11-numpy1.26-opencv4", pythons["3.11"], NUMPY1))
    return result


def system_opencv():
    done = subprocess.run(["pkg-config", "--modversion", "opencv4"], capture_output=True,
                          text=True)
    return done.stdout.strip()


def run_debian_cell(build_dir):
    python_dir = os.path.join(os.path.abspath(build_dir), "python")
    if not os.path.isdir(python_dir):
        raise CommandFailed("no build tree at %s: run `make build` first" % python_dir)
    found = versions("/usr/bin/python3", python_dir)
    found["pybind11"] = debian_pybind11()
    found["closing"] = run_suite("/usr/bin/python3", pythonpath=(python_dir,))
    return found


def debian_pybind11():
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "pybind11-dev"],
                          capture_output=True, text=True)
    return done.stdout.split("-")[0] + " (Debian)"


def run_venv_cell(out, name, python, packages, wheels):
    minor = name.split("-")[0]
    if minor not in wheels:
        wheel_dir = os.path.join(out, "wheels", minor)
        shutil.rmtree(wheel_dir, ignore_errors=True)
        os.makedirs(wheel_dir)
        builder = make_venv(python, os.path.join(out, "venv-build-" + minor), [])
        wheels[minor] = build_wheel(builder, wheel_dir)
        with open(os.path.join(out, "wheels", minor + ".json"), "w", encoding="utf-8") as f:
            json.dump(wheels[minor], f)
    wheel, pybind11 = wheels[minor]
    venv = os.path.join(out, "venv-" + name)
    shutil.rmtree(venv, ignore_errors=True)
    venv_python = make_venv(python, venv, [*packages, "loguru", *TEST_PACKAGES])
    pip_install(venv_python, ["--no-deps", wheel])
    found = versions(venv_python)
    found["pybind11"] = pybind11
    found["closing"] = run_suite(venv_python, pythonpath=(HOST_DIR,))
    return found


def table(results, opencv):
    lines = ["| environment | Python | numpy | cv2 (OpenCV) | capture's OpenCV | pybind11 "
             "(build) | result |", "|---|---|---|---|---|---|---|"]
    for name, found in results.items():
        if "error" in found:
            lines.append("| %s | | | | | | failed |" % name)
            continue
        counts = suite_counts(found["closing"])
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            name, found["python"], found["numpy"], found["cv2"], opencv, found["pybind11"],
            counts))
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(REPO_DIR, "build-matrix"))
    parser.add_argument("--build-dir", default=os.path.join(REPO_DIR, "build"))
    parser.add_argument("--only", nargs="*", help="names of the cells to run")
    parser.add_argument("--reuse-wheels", action="store_true",
                        help="install the wheels a previous run built instead of building anew")
    args = parser.parse_args(argv)
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    plan = [("debian-system", None, None)] + cells()
    if args.only:
        plan = [cell for cell in plan if cell[0] in args.only]
    results, wheels = {}, {}
    results_path = os.path.join(args.out, "results.json")
    if args.only and os.path.exists(results_path):
        # A partial run updates the named cells of the last full one.
        with open(results_path, encoding="utf-8") as f:
            results = json.load(f)
    if args.reuse_wheels:
        for built in glob.glob(os.path.join(args.out, "wheels", "*.json")):
            with open(built, encoding="utf-8") as f:
                wheels[os.path.basename(built)[:-len(".json")]] = tuple(json.load(f))
    for name, python, packages in plan:
        started = time.monotonic()
        print("== %s" % name, flush=True)
        try:
            if python is None:
                results[name] = run_debian_cell(args.build_dir)
            else:
                results[name] = run_venv_cell(args.out, name, python, packages, wheels)
        except CommandFailed as exc:
            results[name] = {"error": str(exc)}
            print(exc, flush=True)
        results[name]["seconds"] = round(time.monotonic() - started)
        print(json.dumps(results[name]) if "error" not in results[name] else "FAILED",
              flush=True)
    with open(results_path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2)
    markdown = table(results, system_opencv())
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as f:
        f.write(markdown)
    print(markdown)
    failed = [name for name, found in results.items() if "error" in found]
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
