"""The checks `make wheel-test` makes of a wheel, on wheels made here around the machine's own
zlib: each shared object must be built for the machine its tag names, need nothing beyond
manylinux's libraries, and use no glibc symbol newer than its tag. And the emulator that runs
another architecture's roots is registered for the block only, undoing no more than it did
and our own entry that a killed run left behind. And a wheel-test run keeps the results of
wheels it did not run."""
import fcntl
import json
import os
import subprocess
import sys
import zipfile

import pytest

import sandboxes
from wheels import audit

ZLIB = "/usr/lib/x86_64-linux-gnu/libz.so.1"
E_MACHINE, AARCH64 = 18, 0xB7   # the ELF header's machine field, and its AArch64 value


def make_wheel(folder, platform_tag, machine=None):
    """A wheel holding zlib as its extension module, its ELF machine set to `machine`."""
    with open(os.path.realpath(ZLIB), "rb") as f:
        elf = bytearray(f.read())
    if machine is not None:
        elf[E_MACHINE:E_MACHINE + 2] = machine.to_bytes(2, "little")
    path = os.path.join(folder, "demo-1.0-cp311-cp311-%s.whl" % platform_tag)
    with zipfile.ZipFile(path, "w") as wheel:
        wheel.writestr("demo/_ext.cpython-311.so", bytes(elf))
        wheel.writestr("demo-1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
    return path


@pytest.mark.skipif(not os.path.exists(ZLIB), reason="needs an x86-64 zlib")
@pytest.mark.parametrize("tag, machine, arch, wrong, fits", [
    ("manylinux2014_x86_64.manylinux_2_17_x86_64", None, "x86_64", False, True),
    ("manylinux_2_17_aarch64", AARCH64, "aarch64", False, True),
    ("manylinux2014_aarch64.manylinux_2_17_aarch64", None, "aarch64", True, True),
    ("manylinux_2_17_x86_64", AARCH64, "x86_64", True, True),
    ("manylinux1_x86_64", None, "x86_64", False, False),   # zlib uses GLIBC_2.14 > 2.5
], ids=["x86_64", "aarch64", "x86_64-object-in-aarch64", "aarch64-object-in-x86_64", "old-tag"])
def test_audit_holds_each_object_to_its_tag(tmp_path, tag, machine, arch, wrong, fits):
    found = audit(make_wheel(str(tmp_path), tag, machine))
    assert found["arch"] == arch and found["objects"] == ["demo/_ext.cpython-311.so"]
    assert found["foreign"] == []                       # zlib needs libc.so.6 alone
    assert bool(found["wrong_machine"]) == wrong, found["wrong_machine"]
    assert found["glibc"] == "2.14" and found["glibc_fits"] == fits


def test_a_wheel_of_no_known_architecture_is_refused(tmp_path):
    with pytest.raises(ValueError):
        audit(make_wheel(str(tmp_path), "manylinux_2_17_riscv64"))


def binfmt_state():
    mounted = os.path.ismount(sandboxes.BINFMT_DIR)
    return mounted, (sandboxes.binfmt_entries() if mounted else {})


def has_emulator():
    try:
        return bool(sandboxes.static_emulator("arm64"))
    except sandboxes.CommandFailed:
        return False


def in_use_elsewhere():
    """Whether a block in a live process holds the emulator (a shared lock on its users file)."""
    with open(sandboxes.emulator_lock("arm64", "users"), "a", encoding="ascii") as users:
        try:
            fcntl.flock(users, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
    return False


# Holds the emulator's block open in another process until its standard input closes.
HOLDER = r"""
import sys
import sandboxes
with sandboxes.foreign_binaries("arm64"):
    print("inside", flush=True)
    sys.stdin.read()
"""


@pytest.mark.skipif(os.geteuid() != 0 or not has_emulator(),
                    reason="needs root and a static qemu-aarch64 (Debian's qemu-user-static)")
def test_the_emulator_is_registered_while_a_block_is_open_anywhere():
    if in_use_elsewhere():
        pytest.skip("another process is running arm64 executables: its block undoes, not ours")
    before = binfmt_state()
    aarch64 = sandboxes.FOREIGN["arm64"]["magic"].replace("\\x", "")
    holder = None
    try:
        with sandboxes.foreign_binaries("arm64"):
            inside = binfmt_state()
            assert inside[0] and aarch64 in inside[1].values()
            with sandboxes.foreign_binaries("arm64"):   # already there: nothing more to do
                assert binfmt_state() == inside
            assert binfmt_state() == inside
            holder = subprocess.Popen([sys.executable, "-c", HOLDER], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True,
                                      cwd=os.path.dirname(os.path.abspath(__file__)))
            assert holder.stdout.readline() == "inside\n"
        assert binfmt_state() == inside                 # the other process is still inside
    finally:
        if holder:
            holder.communicate("", timeout=30)
    assert holder.returncode == 0
    # Its block was the last: our entry is gone, even one a killed run left behind, and so is the
    # mount if we made it; whatever else was registered stays.
    after = binfmt_state()
    others = {k: v for k, v in before[1].items() if k != sandboxes.FOREIGN["arm64"]["name"]}
    assert after[1] == others
    assert after[0] == before[0] or not after[0] and not others


def test_a_run_keeps_the_cells_of_unchanged_wheels_and_of_wheels_it_did_not_see(tmp_path):
    import wheel_test
    earlier = {"audits": [{"wheel": w, "sha256": w + "-sum"} for w in ("a.whl", "b.whl", "c.whl")],
               "cells": {"a.whl venv": {"closing": "1 passed"}, "b.whl root": {"closing": "2"},
                         "c.whl root": {"error": "x"}}}
    (tmp_path / "results.json").write_text(json.dumps(earlier))
    # This run's wheelhouse holds a rebuilt a.whl and the same b.whl; c.whl lives elsewhere.
    now = [{"wheel": "a.whl", "sha256": "new"}, {"wheel": "b.whl", "sha256": "b.whl-sum"}]
    others, cells = wheel_test.earlier_results(str(tmp_path), now)
    assert others == [earlier["audits"][2]]
    assert sorted(cells) == ["b.whl root", "c.whl root"]
