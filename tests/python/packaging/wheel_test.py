"""Every binary wheel of a wheelhouse, installed where the build machine cannot help it
(`make wheel-test`).

For each wheel: its shared objects must be built for its tag's machine and may need only the
libraries manylinux allows and no glibc newer than its tag (wheels.audit, by readelf, which
reads aarch64 wheels here as well). An x86-64 wheel of a CPython that pyenv has installs into a
clean virtual environment of it (no system site packages), binaries only, with
opencv-python-headless and the test tools, in a mount namespace where the system's OpenCV and
FFmpeg libraries and its compilers are empty files (sandboxes.hidden); there a probe shows that
the package comes from the environment and that none of that is reachable, and
environments.SUITE runs against the installed copy.

A wheel also installs into a minimal Debian root whose own Python is the wheel's CPython
(ROOT_SUITES; no compiler, no OpenCV), made once by debootstrap under <out>/roots: the cp39
x86-64 wheel into Debian 11, the CPythons no release has into sid, every aarch64 wheel into an
arm64 root run under qemu's user-mode emulator. Native roots run environments.SUITE; emulated
ones environments.EMULATED_SUITE within EMULATED_SECONDS. Results go to <out>/results.json and,
as the table of docs/installing.md, <out>/results.md.

--check-roots makes the roots and shows that each works without any wheel of ours: its Python's
virtual environment installs numpy and opencv-python-headless, and cv2 decodes an FFV1 and an
H.264 clip there.

Run (as root): python3 tests/python/packaging/wheel_test.py --wheelhouse DIR [--out DIR]
     [--only cp39 ...] [--arch x86_64|aarch64] [--no-venv] [--no-roots] [--check-roots]
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
from environments import (EMULATED_SUITE, HOST_DIR, REPO_DIR, SUITE, TEST_PACKAGES,
                          CommandFailed, closing_line, environ, make_venv, pip_install,
                          pytest_command, run, run_suite, suite_counts)
from matrix import pyenv_pythons
from wheels import ARCHITECTURES, audit, python_minor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "conformance"))
import conformance_clips  # noqa: E402

# numpy and loguru come as the wheel's own dependencies.
PACKAGES = ["opencv-python-headless", *TEST_PACKAGES]
# Under emulation the stub check is left out, and with it mypy.
EMULATED_PACKAGES = ["opencv-python-headless", "pytest"]

# The Debian root each wheel also runs in, by (Debian architecture, CPython): the release
# whose own python3 is that version, or sid for the versions no release has.
ROOT_SUITES = {
    ("amd64", "3.9"): "bullseye", ("amd64", "3.14"): "sid", ("amd64", "3.15"): "sid",
    ("arm64", "3.9"): "bullseye", ("arm64", "3.11"): "bookworm", ("arm64", "3.13"): "trixie",
    ("arm64", "3.14"): "sid", ("arm64", "3.15"): "sid",
}
SUITE_NAMES = {"bullseye": "Debian 11", "bookworm": "Debian 12", "trixie": "Debian 13",
               "sid": "sid"}
# The emulated suite's limit per wheel; native roots have NATIVE_SECONDS.
EMULATED_SECONDS = 900
NATIVE_SECONDS = 1200
IN_ROOT_CLIPS = "/opt/conformance-clips"

# Run in a root by its Python, with the repository's tests/python on sys.path: cv2 decodes
# every frame of the FFV1 and the H.264 conformance clip (argv), each showing its own index.
CV2_DECODES = r"""
import json, platform, sys
import cv2, numpy
import clips
from decoders import read_all
counts = {}
for path in sys.argv[1:]:
    shown = [clips.frame_index(frame) for frame in read_all(path)]
    assert shown and shown == list(range(len(shown))), (path, shown[:5])
    counts[path.rsplit("/", 1)[-1]] = len(shown)
print(json.dumps({"python": platform.python_version(), "numpy": numpy.__version__,
                  "cv2": cv2.__version__, "frames": counts}))
"""

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


def root_for(out, arch, minor):
    """(suite, folder) of the Debian root for CPython `minor` on Debian architecture `arch`,
    made unless it is there; None when no root has that CPython."""
    suite = ROOT_SUITES.get((arch, minor))
    if suite is None:
        return None
    minors = sorted(m for (a, m), s in ROOT_SUITES.items() if (a, s) == (arch, suite))
    packages = [p for m in minors for p in ("python" + m, "python%s-venv" % m)]
    folder = os.path.join(out, "roots", "%s-%s" % (suite, arch))
    taken = sandboxes.ensure_debian_root(suite, arch, folder, packages, folder + ".log")
    if taken is not None:
        print("made the %s %s root in %d s" % (suite, arch, taken), flush=True)
    return suite, folder


def venv_in_root(root, wheels_dir, minor, name, packages, seconds):
    """A new virtual environment /opt/<name> of the root's Python `minor`, holding `packages`
    (binaries only); returns its interpreter as the root sees it."""
    venv_python = "/opt/%s/bin/python" % name
    setup = ("rm -rf /opt/{0} && python{1} -m venv /opt/{0} && {2} -m pip install -q -U pip && "
             "{2} -m pip install -q --only-binary=:all: {3}"
             .format(name, minor, venv_python, " ".join(packages)))
    sandboxes.run_in_root(root, wheels_dir, ["sh", "-c", setup], timeout=seconds)
    return venv_python


def copy_clips(root):
    """The conformance clips into the root. A clip never changes once made, so what is there is
    kept, and a run beside this one in the same root keeps reading its files."""
    shutil.copytree(os.environ["CORVANE_CONFORMANCE_CLIPS"], root + IN_ROOT_CLIPS,
                    dirs_exist_ok=True, copy_function=copy_if_missing)


def copy_if_missing(source, target):
    if not os.path.exists(target):
        shutil.copy2(source, target + ".part")
        os.rename(target + ".part", target)


def run_root_cell(root, arch, wheel, minor):
    """Install `wheel` into a new virtual environment of the root's Python `minor` and run the
    suite there: environments.SUITE natively, EMULATED_SUITE under qemu."""
    emulated = arch != sandboxes.host_arch()
    wheels_dir, name = os.path.split(os.path.abspath(wheel))
    with sandboxes.foreign_binaries(arch):
        started = time.monotonic()
        venv_python = venv_in_root(
            root, wheels_dir, minor, "venv-" + name.split("-")[2],
            ["%s/%s" % (sandboxes.IN_ROOT_WHEELS, name),
             *(EMULATED_PACKAGES if emulated else PACKAGES)], 1800)
        setup_seconds = round(time.monotonic() - started)
        host = "PYTHONPATH=%s/host" % sandboxes.IN_ROOT_REPO
        copy_clips(root)
        clips_env = "CORVANE_CONFORMANCE_CLIPS=" + IN_ROOT_CLIPS
        tests = sandboxes.IN_ROOT_REPO + "/tests/python"
        probe = sandboxes.run_in_root(root, wheels_dir, ["env", host, venv_python, "-c", PROBE,
                                                         *sandboxes.system_decoder_files()], 300)
        report = checked_probe(probe.stdout)
        started = time.monotonic()
        suite = sandboxes.run_in_root(
            root, wheels_dir, ["env", host, clips_env, *pytest_command(
                venv_python, tests, EMULATED_SUITE if emulated else SUITE)],
            EMULATED_SECONDS if emulated else NATIVE_SECONDS, cwd=tests)
    report.update(closing=closing_line(suite), emulated=emulated, setup_seconds=setup_seconds,
                  suite_seconds=round(time.monotonic() - started))
    return report


def check_root_cell(root, arch, minor):
    """The root without any wheel of ours: a virtual environment of its Python `minor` with
    numpy and opencv-python-headless, in which cv2 decodes the FFV1 and H.264 clips."""
    cases = [c for c in conformance_clips.CASES if c.name in ("ffv1-odd-161x121",
                                                               "h264-bframes-seek")]
    with sandboxes.foreign_binaries(arch):
        started = time.monotonic()
        venv_python = venv_in_root(root, REPO_DIR, minor, "check-%s" % minor,
                                   ["numpy", "opencv-python-headless"], 1800)
        setup_seconds = round(time.monotonic() - started)
        copy_clips(root)
        done = sandboxes.run_in_root(
            root, REPO_DIR, ["env", "PYTHONPATH=%s/tests/python" % sandboxes.IN_ROOT_REPO,
                             venv_python, "-c", CV2_DECODES,
                             *[conformance_clips.clip_path(IN_ROOT_CLIPS, c) for c in cases]],
            600)
    report = json.loads(done.stdout.strip().splitlines()[-1])
    report["setup_seconds"] = setup_seconds
    return report


def cell(results, key, function, *args):
    started = time.monotonic()
    print("== " + key, flush=True)
    try:
        results[key] = function(*args)
    except (CommandFailed, ValueError, KeyError) as exc:
        text = str(exc)
        results[key] = {"error": text[-3000:],          # what the command printed last
                        "failed_tests": re.findall(r"^_{3,} (\S+) _{3,}$", text, re.M)}
    results[key]["seconds"] = round(time.monotonic() - started)
    print(json.dumps(results[key]), flush=True)


def cell_text(result):
    if result is None:
        return "-"
    if "error" in result:
        counts = re.findall(r"^=* ?(\d+ (?:failed|passed|error).*) in [0-9.]+s",
                            result["error"], re.M)
        failed = result.get("failed_tests", [])
        return "failed" + (" (%s)" % counts[-1] if counts else "") + \
            (": " + ", ".join(failed) if failed else "")
    return "%s: %s" % (result["python"], suite_counts(result["closing"]))


def table(audits, results):
    lines = ["| wheel | size | needs beyond manylinux | newest glibc symbol | clean venv "
             "(pyenv CPython) | Debian root, its own CPython |", "|---|---|---|---|---|---|"]
    for found in audits:
        root = results.get(found["wheel"] + " root")
        where = "-"
        if root is not None:
            suite, arch = root["root"].split("-")
            where = "%s %s%s, %s" % (SUITE_NAMES.get(suite, suite), arch,
                                     " under qemu" if root.get("emulated") else "",
                                     cell_text(root))
            if root.get("emulated") and "suite_seconds" in root:
                where += " (emulated subset, %d s)" % root["suite_seconds"]
        needs = found["foreign"] + ["%s built for %s" % tuple(w.rsplit(" (", 1))
                                    for w in found["wrong_machine"]]
        lines.append("| %s | %.1f MB | %s | %s%s | %s | %s |" % (
            found["wheel"], found["size"] / 1e6, ", ".join(needs) or "nothing",
            found["glibc"] or "-", "" if found["glibc_fits"] else " (beyond the tag)",
            cell_text(results.get(found["wheel"] + " venv")), where))
    return "\n".join(lines) + "\n"


def roots_table(results):
    lines = ["| Debian root | Python | numpy | cv2 | frames cv2 decodes | set-up |",
             "|---|---|---|---|---|---|"]
    for key, result in results.items():
        if "error" in result:
            lines.append("| %s | failed | | | | |" % key)
        else:
            lines.append("| %s | %s | %s | %s | %s | %d s |" % (
                key, result["python"], result["numpy"], result["cv2"],
                ", ".join("%s: %d" % kv for kv in sorted(result["frames"].items())),
                result["setup_seconds"]))
    return "\n".join(lines) + "\n"


def make_clips(out):
    """The frame-conformance clips, made here with the machine's ffmpeg, which the sandboxes
    hide and the roots lack; every cell reads the same files."""
    clip_folder = os.path.join(out, "conformance-clips")
    for case in conformance_clips.CASES:
        conformance_clips.make_clip(clip_folder, case)
    os.environ["CORVANE_CONFORMANCE_CLIPS"] = clip_folder


def check_roots(out, arches, minors):
    results = {}
    for (arch, minor), suite in sorted(ROOT_SUITES.items()):
        if arch not in arches or (minors and minor not in minors):
            continue
        _, root = root_for(out, arch, minor)
        cell(results, "%s %s python%s" % (suite, arch, minor), check_root_cell, root, arch,
             minor)
    markdown = roots_table(results)
    with open(os.path.join(out, "roots.md"), "w", encoding="utf-8") as f:
        f.write(markdown)
    print(markdown)
    return 1 if any("error" in r for r in results.values()) else 0


def earlier_results(out, audits):
    """(audits, cells) of earlier runs to keep: a wheel's cells while its file is still the one
    they ran, so that a limited run updates only the cells it runs, and a wheel this run's
    wheelhouse does not hold keeps its audit and cells, for a run from another folder beside it."""
    try:
        with open(os.path.join(out, "results.json"), encoding="utf-8") as f:
            earlier = json.load(f)
    except (OSError, ValueError):
        return [], {}
    now = {a["wheel"]: a["sha256"] for a in audits}
    kept = [a for a in earlier.get("audits", [])
            if a["wheel"] not in now or now[a["wheel"]] == a.get("sha256")]
    keep = {a["wheel"] for a in kept}
    return ([a for a in kept if a["wheel"] not in now],
            {key: cell for key, cell in earlier.get("cells", {}).items()
             if key.split()[0] in keep})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheelhouse", default=os.path.join(REPO_DIR, "build-wheel",
                                                             "wheelhouse"))
    parser.add_argument("--out", default=os.path.join(REPO_DIR, "build-wheel-test"))
    parser.add_argument("--only", nargs="*", help="python tags of the wheels to test (cp39 ...)")
    parser.add_argument("--arch", choices=sorted(ARCHITECTURES),
                        help="test only the wheels of this architecture")
    parser.add_argument("--no-venv", action="store_true", help="skip the pyenv venvs")
    parser.add_argument("--no-roots", action="store_true", help="skip the Debian roots")
    parser.add_argument("--check-roots", action="store_true",
                        help="make the roots and check each with cv2 alone, without wheels")
    args = parser.parse_args(argv)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    arches = {ARCHITECTURES[a]["debian"] for a in ([args.arch] if args.arch else ARCHITECTURES)}
    if args.check_roots:
        make_clips(out)
        return check_roots(out, arches, [python_minor(t) for t in args.only or ()])
    wheels = sorted(glob.glob(os.path.join(os.path.abspath(args.wheelhouse), "*.whl")))
    audits = sorted((audit(w) for w in wheels),
                    key=lambda a: (a["arch"] != "x86_64",
                                   tuple(map(int, python_minor(a["python_tag"]).split(".")))))
    chosen = [a for a in audits if (not args.only or a["python_tag"] in args.only)
              and (not args.arch or a["arch"] == args.arch)]
    if not chosen:
        print("no wheels in %s: run `make wheel` first" % args.wheelhouse)
        return 1
    started = time.monotonic()
    pythons, hide = pyenv_pythons(), os.path.join(out, "hidden.txt")
    with open(hide, "w", encoding="utf-8") as f:
        f.write("".join(p + "\n" for p in sandboxes.system_decoder_files()
                        + sandboxes.compiler_files()))
    make_clips(out)
    results = {}
    for found in chosen:
        print(json.dumps(found), flush=True)
        wheel = os.path.join(os.path.abspath(args.wheelhouse), found["wheel"])
        minor = python_minor(found["python_tag"])
        arch = ARCHITECTURES[found["arch"]]["debian"]
        if arch == sandboxes.host_arch() and minor in pythons and not args.no_venv:
            cell(results, found["wheel"] + " venv", run_venv_cell, out, wheel, pythons[minor],
                 hide)
        if args.no_roots or (arch, minor) not in ROOT_SUITES:
            continue
        key = found["wheel"] + " root"
        try:
            suite, root = root_for(out, arch, minor)
        except CommandFailed as exc:
            results[key] = {"error": str(exc), "root": "%s-%s" % (ROOT_SUITES[arch, minor],
                                                                   arch)}
            continue
        cell(results, key, run_root_cell, root, arch, wheel, minor)
        results[key].update(root="%s-%s" % (suite, arch), emulated=arch != sandboxes.host_arch())
    # Read again now, so that a run that ended meanwhile keeps its rows too.
    ran = results
    others, kept = earlier_results(out, audits)
    results = {**kept, **ran}
    with open(os.path.join(out, "results.json"), "w", encoding="utf-8") as f:
        json.dump({"audits": audits + others, "cells": results,
                   "seconds": round(time.monotonic() - started)}, f, indent=2)
    markdown = table(audits, results)
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write(markdown)
    print(markdown + "took %d s" % (time.monotonic() - started))
    bad = [a["wheel"] for a in chosen
           if a["foreign"] or a["wrong_machine"] or not a["glibc_fits"]]
    bad += [key for key, result in ran.items() if "error" in result]
    if bad:
        print("failed: " + ", ".join(bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
