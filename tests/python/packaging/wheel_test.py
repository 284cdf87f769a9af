"""Every binary wheel of a wheelhouse, installed where the build machine cannot help it
(`make wheel-test`).

For each wheel: its shared objects may need only the libraries manylinux allows and no glibc
newer than its tag (wheels.audit, by readelf). Then a clean virtual environment of the wheel's
CPython under pyenv (no system site packages) installs it, binaries only, with
opencv-python-headless and the test tools, in a mount namespace where the system's OpenCV and
FFmpeg libraries and its compilers are empty files (sandboxes.hidden); there a probe shows that
the package comes from the environment and that none of that is reachable, and
environments.SUITE runs against the installed copy. The cp39 wheel also installs into a Debian
11 root (glibc 2.31, its own Python 3.9, nothing else) and runs the same suite. Results go to
<out>/results.json and, as the table of docs/installing.md, <out>/results.md.

Run (as root): python3 tests/python/packaging/wheel_test.py --wheelhouse DIR [--out DIR]
     [--only cp39 ...] [--no-debian11]
"""
import argparse
import glob
import json
import os
import re
import shutil
import sys
import time

import sandboxes
from environments import (HOST_DIR, REPO_DIR, TEST_PACKAGES, CommandFailed, closing_line,
                          environ, make_venv, pip_install, pytest_command, run, run_suite,
                          suite_counts)
from matrix import pyenv_pythons
from wheels import audit, python_minor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "conformance"))
import conformance_clips  # noqa: E402

# numpy and loguru come as the wheel's own dependencies.
PACKAGES = ["opencv-python-headless", *TEST_PACKAGES]

# Run by the installed interpreter with only the stand-in framework on PYTHONPATH; argv holds
# the machine's OpenCV and FFmpeg library files, which must not load.
PROBE = r"""
import ctypes, json, os, platform, shutil, subprocess, sys, sysconfig
import corvane.plugins.video.capture as capture
import corvane.plugins.video.nodes as nodes
import cv2
loadable = []
for path in sys.argv[1:]:
    try:
        ctypes.CDLL(path)
        loadable.append(path)
    except OSError:
        pass
compilers = []
for name in ("cc", "c++", "gcc", "g++"):
    found = shutil.which(name)
    try:
        if found and subprocess.run([found, "--version"], capture_output=True).returncode == 0:
            compilers.append(found)
    except OSError:
        pass
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split()[-1] for line in maps if "libopencv" in line or "libav" in line})
print(json.dumps({"python": platform.python_version(), "glibc": os.confstr("CS_GNU_LIBC_VERSION"),
                  "cv2": cv2.__version__, "site": os.path.realpath(sysconfig.get_path("platlib")),
                  "modules": [os.path.realpath(m.__file__) for m in (capture, nodes)],
                  "loadable": loadable, "compilers": compilers, "mapped": mapped}))
"""


def checked_probe(stdout):
    """The probe's report; raises CommandFailed unless the modules come from the environment's
    site-packages and nothing of the machine's decoder or compilers was reachable."""
    report = json.loads(stdout.strip().splitlines()[-1])
    inside = report["site"] + os.sep
    faults = ["%s is not installed in %s" % (m, report["site"])
              for m in report["modules"] if not m.startswith(inside)]
    faults += ["the machine's %s loads" % p for p in report["loadable"]]
    faults += ["the compiler %s runs" % c for c in report["compilers"]]
    faults += ["%s is mapped" % p for p in report["mapped"] if not p.startswith(inside)]
    if faults:
        raise CommandFailed("; ".join(faults))
    return report


def run_venv_cell(out, wheel, python, hide):
    """Install `wheel` into a new virtual environment of `python` and run the suite, all with
    the files listed in `hide` hidden."""
    prefix = sandboxes.hidden([], hide)
    venv = os.path.join(out, "venv-" + os.path.basename(wheel).split("-")[2])
    shutil.rmtree(venv, ignore_errors=True)
    venv_python = make_venv(python, venv, [])
    pip_install(venv_python, ["--only-binary=:all:", wheel, *PACKAGES], prefix=prefix)
    probe = run([*prefix, venv_python, "-c", PROBE, *sandboxes.system_decoder_files()],
                timeout=120, env=environ(PYTHONPATH=HOST_DIR))
    report = checked_probe(probe.stdout)
    report["closing"] = run_suite(venv_python, pythonpath=(HOST_DIR,), prefix=prefix)
    return report


def run_debian11_cell(root, wheel):
    """Install `wheel` into a new virtual environment of the Debian 11 root's Python and run
    the suite there."""
    wheels_dir, name = os.path.split(os.path.abspath(wheel))
    venv_python = "/opt/venv/bin/python"
    setup = ("rm -rf /opt/venv && python3 -m venv /opt/venv && %s -m pip install -q -U pip && "
             "%s -m pip install -q --only-binary=:all: %s/%s %s"
             % (venv_python, venv_python, sandboxes.IN_ROOT_WHEELS, name, " ".join(PACKAGES)))
    sandboxes.run_in_root(root, wheels_dir, ["sh", "-c", setup], timeout=1200)
    host = "PYTHONPATH=%s/host" % sandboxes.IN_ROOT_REPO
    clips_in_root = "/opt/conformance-clips"
    shutil.rmtree(root + clips_in_root, ignore_errors=True)
    shutil.copytree(os.environ["CORVANE_CONFORMANCE_CLIPS"], root + clips_in_root)
    clips_env = "CORVANE_CONFORMANCE_CLIPS=" + clips_in_root
    tests = sandboxes.IN_ROOT_REPO + "/tests/python"
    probe = sandboxes.run_in_root(root, wheels_dir, ["env", host, venv_python, "-c", PROBE,
                                                     *sandboxes.system_decoder_files()], 120)
    report = checked_probe(probe.stdout)
    suite = sandboxes.run_in_root(root, wheels_dir,
                                  ["env", host, clips_env, *pytest_command(venv_python, tests)],
                                  1200,
                                  cwd=tests)
    report["closing"] = closing_line(suite)
    return report


def cell(results, key, function, *args):
    started = time.monotonic()
    print("== " + key, flush=True)
    try:
        results[key] = function(*args)
    except (CommandFailed, ValueError, KeyError) as exc:
        results[key] = {"error": str(exc)[-3000:]}     # what the command printed last
    results[key]["seconds"] = round(time.monotonic() - started)
    print(json.dumps(results[key]), flush=True)


def table(audits, results):
    lines = ["| wheel | tag | size | needs beyond manylinux | newest glibc symbol | clean venv "
             "(pyenv CPython) | Debian 11 root |", "|---|---|---|---|---|---|---|"]
    for found in audits:
        cells = []
        for place in ("venv", "debian11"):
            result = results.get(found["wheel"] + " " + place)
            if result is None:
                cells.append("-")
            elif "error" in result:
                counts = re.findall(r"^=* ?(\d+ (?:failed|passed|error).*) in [0-9.]+s",
                                    result["error"], re.M)
                cells.append("failed" + (" (%s)" % counts[-1] if counts else ""))
            else:
                cells.append("%s: %s" % (result["python"], suite_counts(result["closing"])))
        lines.append("| %s | %s | %.1f MB | %s | %s%s | %s | %s |" % (
            found["wheel"], found["tag"], found["size"] / 1e6,
            ", ".join(found["foreign"]) or "nothing", found["glibc"] or "-",
            "" if found["glibc_fits"] else " (beyond the tag)", *cells))
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheelhouse", default=os.path.join(REPO_DIR, "build-wheel",
                                                             "wheelhouse"))
    parser.add_argument("--out", default=os.path.join(REPO_DIR, "build-wheel-test"))
    parser.add_argument("--only", nargs="*", help="python tags of the wheels to test (cp39 ...)")
    parser.add_argument("--no-debian11", action="store_true", help="skip the Debian 11 root")
    args = parser.parse_args(argv)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    wheels = sorted(glob.glob(os.path.join(os.path.abspath(args.wheelhouse), "*.whl")))
    audits = sorted((audit(w) for w in wheels),
                    key=lambda a: tuple(map(int, python_minor(a["python_tag"]).split("."))))
    if args.only:
        audits = [a for a in audits if a["python_tag"] in args.only]
    if not audits:
        print("no wheels in %s: run `make wheel` first" % args.wheelhouse)
        return 1
    started = time.monotonic()
    pythons, hide = pyenv_pythons(), os.path.join(out, "hidden.txt")
    with open(hide, "w", encoding="utf-8") as f:
        f.write("".join(p + "\n" for p in sandboxes.system_decoder_files()
                        + sandboxes.compiler_files()))
    root = os.path.join(out, "debian11")
    # The frame-conformance clips, made here with the machine's ffmpeg, which the sandboxes
    # hide; every cell reads the same files.
    clip_folder = os.path.join(out, "conformance-clips")
    for case in conformance_clips.CASES:
        conformance_clips.make_clip(clip_folder, case)
    os.environ["CORVANE_CONFORMANCE_CLIPS"] = clip_folder
    results = {}
    for found in audits:
        print(json.dumps(found), flush=True)
        wheel = os.path.join(os.path.abspath(args.wheelhouse), found["wheel"])
        minor = python_minor(found["python_tag"])
        if minor not in pythons:
            results[found["wheel"] + " venv"] = {"error": "no CPython %s under pyenv" % minor}
        else:
            cell(results, found["wheel"] + " venv", run_venv_cell, out, wheel, pythons[minor],
                 hide)
        if minor == "3.9" and not args.no_debian11:
            sandboxes.ensure_debian11_root(root, os.path.join(out, "debootstrap.log"))
            cell(results, found["wheel"] + " debian11", run_debian11_cell, root, wheel)
    with open(os.path.join(out, "results.json"), "w", encoding="utf-8") as f:
        json.dump({"audits": audits, "cells": results,
                   "seconds": round(time.monotonic() - started)}, f, indent=2)
    markdown = table(audits, results)
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write(markdown)
    print(markdown + "took %d s" % (time.monotonic() - started))
    bad = [a["wheel"] for a in audits if a["foreign"] or not a["glibc_fits"]]
    bad += [key for key, result in results.items() if "error" in result]
    if bad:
        print("failed: " + ", ".join(bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
