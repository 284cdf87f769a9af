"""Places to run an installed wheel where the build machine's extras cannot help it: a private
mount namespace in which the system's OpenCV and FFmpeg libraries and its C and C++ compilers
are empty files, and minimal Debian roots (a suite and an architecture each, their own Python,
no compiler, no OpenCV) made by debootstrap. A root of another architecture is made and run
under qemu's user-mode emulator, registered with binfmt_misc only while it is needed. All of it
needs root. Every mount lives in a namespace of its own, so it is gone when the command ends,
however it ends; the root's mounts are also undone explicitly."""
import contextlib
import fcntl
import glob
import os
import shutil
import subprocess
import time

from environments import REPO_DIR, CommandFailed

LIBRARY_DIRS = ("/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/local/lib")
DECODER_LIBRARIES = ("libopencv_*.so*", "libavcodec.so*", "libavformat.so*", "libavutil.so*",
                     "libswscale.so*", "libswresample.so*", "libavdevice.so*",
                     "libavfilter.so*", "libpostproc.so*")
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "x86_64-linux-gnu-gcc",
             "x86_64-linux-gnu-g++")

# Binds /dev/null over each file named in the list file $1, then runs the rest.
HIDE_SCRIPT = r"""
set -e
while IFS= read -r f; do mount --bind /dev/null "$f"; done < "$1"
shift
exec "$@"
"""

# Debian's mirror, the one debootstrap names by default.
DEBIAN_MIRROR = "http://deb.debian.org/debian"
# What every root holds besides the minimal base: the suite's Python, and readelf.
ROOT_PACKAGES = ("python3", "python3-venv", "ca-certificates", "binutils")
# Written last into a finished root: the packages it was asked for, one a line.
ROOT_MARKER = ".corvane-root"

# binfmt_misc entries that run another architecture's executables under qemu's static user-mode
# emulator: the ELF header's magic and mask for that machine (as qemu's own binfmt.d files have
# them), and the emulator's names in Debian 12's qemu-user-static and Debian 13's qemu-user.
# The F flag opens the emulator when it is registered, so it need not exist inside a root.
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
LOCK_DIR = "/run/lock" if os.path.isdir("/run/lock") else "/tmp"
FOREIGN = {
    "arm64": {
        "name": "corvane-qemu-aarch64",
        "magic": r"\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                 r"\x02\x00\xb7\x00",
        "mask": r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff"
                r"\xfe\xff\xff\xff",
        "emulators": ("/usr/bin/qemu-aarch64-static", "/usr/bin/qemu-aarch64"),
    },
}
IN_ROOT_REPO = "/mnt/corvane"
IN_ROOT_WHEELS = "/mnt/wheels"

# Mounts what a Python program needs into the root ($1), binds the repository and the wheels
# read-only, runs the command in the root from directory $3 within $2 seconds, and unmounts.
ROOT_SCRIPT = r"""
set -e
root=$1; seconds=$2; cwd=$3; repo=$4; wheels=$5; shift 5
cleanup() {
  for m in "$root/etc/ssl/certs/ca-certificates.crt" "$root/mnt/wheels" "$root/mnt/corvane" \
           "$root/tmp" "$root/sys" "$root/dev" "$root/proc"; do
    if mountpoint -q "$m"; then umount -R "$m" || umount -l "$m"; fi
  done
}
trap cleanup EXIT
mkdir -p "$root/mnt/corvane" "$root/mnt/wheels"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t sysfs sysfs "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
mount --bind "$repo" "$root/mnt/corvane"
mount -o remount,bind,ro "$root/mnt/corvane"
mount --bind "$wheels" "$root/mnt/wheels"
mount -o remount,bind,ro "$root/mnt/wheels"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The machine's trusted certificates, so that HTTPS to the registry verifies as it does here.
mount --bind /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
set +e
timeout -k 10 "$seconds" chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
  HOME=/root LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1 \
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
  /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
status=$?
exit $status
"""


def system_decoder_files():
    """The real files of the machine's OpenCV and FFmpeg libraries (symbolic links lead to
    them, so hiding these hides every name)."""
    found = set()
    for directory in LIBRARY_DIRS:
        for pattern in DECODER_LIBRARIES:
            found.update(os.path.realpath(p) for p in glob.glob(os.path.join(directory, pattern))
                         if not p.endswith(".a"))
    return sorted(p for p in found if os.path.isfile(p))


def compiler_files():
    """The machine's compiler drivers and the compilers proper they run."""
    found = {os.path.realpath(path) for path in
             (shutil.which(name, path="/usr/local/bin:/usr/bin:/bin") for name in COMPILERS)
             if path}
    found.update(glob.glob("/usr/lib/gcc/*/*/cc1*"))
    return sorted(p for p in found if os.path.isfile(p))


def hidden(command, list_file):
    """`command` run in a private mount namespace in which each file named in `list_file`
    (one a line) reads as empty."""
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", HIDE_SCRIPT,
            "sh", list_file, *command]


def host_arch():
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()


def static_emulator(arch):
    """The statically linked qemu user-mode emulator for Debian architecture `arch`."""
    for path in FOREIGN[arch]["emulators"]:
        headers = subprocess.run(["readelf", "--wide", "--program-headers", path],
                                 capture_output=True, text=True)
        if headers.returncode == 0 and "INTERP" not in headers.stdout:
            return path
    raise CommandFailed("no static qemu emulator for %s (Debian package qemu-user-static)"
                        % arch)


def binfmt_entries():
    """{entry name: its magic in hex} of the enabled binfmt_misc entries."""
    found = {}
    for name in os.listdir(BINFMT_DIR):
        if name in ("register", "status"):
            continue
        with open(os.path.join(BINFMT_DIR, name), encoding="utf-8") as entry:
            lines = entry.read().splitlines()
        if "enabled" in lines:
            found[name] = next((line.split()[1] for line in lines if line.startswith("magic ")),
                               "")
    return found


def emulator_lock(arch, kind):
    """The lock file of foreign_binaries for `arch`: "setup" or "users"."""
    return os.path.join(LOCK_DIR, "%s.%s" % (FOREIGN[arch]["name"], kind))


@contextlib.contextmanager
def foreign_binaries(arch):
    """Within the block, executables of Debian architecture `arch` run under qemu. binfmt_misc
    is mounted if it is not, and an entry of our own is registered unless an enabled one already
    matches the architecture's ELF header. Blocks in other processes share them: each holds a
    shared lock on a file under /run/lock while inside, and the last one out, the one that then
    gets that lock alone, removes our entry, and unmounts binfmt_misc if one of them mounted it
    and no other entry is left. A second lock file keeps setting up and undoing to one process
    at a time. Nothing registered or mounted by anyone else is touched."""
    if arch == host_arch():
        yield
        return
    emulator = FOREIGN[arch]
    with open(emulator_lock(arch, "setup"), "a+", encoding="ascii") as setup, \
            open(emulator_lock(arch, "users"), "a", encoding="ascii") as users:
        fcntl.flock(setup, fcntl.LOCK_EX)
        try:
            if not os.path.ismount(BINFMT_DIR):
                subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_DIR],
                               check=True)
                setup.truncate(0)
                setup.write("mounted\n")     # what the last one out undoes
                setup.flush()
            if emulator["magic"].replace("\\x", "") not in binfmt_entries().values():
                with open(os.path.join(BINFMT_DIR, "register"), "w", encoding="ascii") as f:
                    f.write(":%s:M::%s:%s:%s:F" % (emulator["name"], emulator["magic"],
                                                  emulator["mask"], static_emulator(arch)))
            fcntl.flock(users, fcntl.LOCK_SH)
        finally:
            fcntl.flock(setup, fcntl.LOCK_UN)
        try:
            yield
        finally:
            fcntl.flock(users, fcntl.LOCK_UN)
            fcntl.flock(setup, fcntl.LOCK_EX)
            try:
                fcntl.flock(users, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                pass                            # still in use elsewhere: its last user undoes
            else:
                undo_foreign_binaries(emulator["name"], setup)


def undo_foreign_binaries(name, setup):
    """Remove our binfmt_misc entry `name`, and unmount binfmt_misc when we mounted it (as the
    setup lock file records) and nothing else is registered there."""
    if os.path.exists(os.path.join(BINFMT_DIR, name)):
        with open(os.path.join(BINFMT_DIR, name), "w", encoding="ascii") as entry:
            entry.write("-1")
    setup.seek(0)
    if setup.read().strip() == "mounted" and os.path.ismount(BINFMT_DIR) \
            and not set(os.listdir(BINFMT_DIR)) - {"register", "status"}:
        subprocess.run(["umount", BINFMT_DIR], check=True)
        setup.truncate(0)


def ensure_debian_root(suite, arch, root, packages, log):
    """Make a Debian `suite` root of architecture `arch` at `root`, holding ROOT_PACKAGES and
    `packages`, unless a finished one asked for the same packages is there. debootstrap writes
    into a sibling folder that is renamed when it has finished, so an interrupted run is redone.
    Another architecture's root is configured by its own tools under qemu. Returns the seconds
    taken, or None when the root was there."""
    wanted = "".join(p + "\n" for p in sorted({*ROOT_PACKAGES, *packages}))
    os.makedirs(os.path.dirname(os.path.abspath(root)), exist_ok=True)
    # One maker at a time: a run that finds another making the root waits for it.
    with open(root + ".lock", "a", encoding="ascii") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return make_debian_root(suite, arch, root, wanted, log)


def make_debian_root(suite, arch, root, wanted, log):
    marker = os.path.join(root, ROOT_MARKER)
    if os.path.isfile(marker):
        with open(marker, encoding="utf-8") as f:
            if f.read() == wanted:
                return None
    started = time.monotonic()
    foreign = arch != host_arch()
    partial = root + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(os.path.dirname(partial), exist_ok=True)
    command = ["debootstrap", "--variant=minbase", "--arch=" + arch,
               "--include=" + ",".join(wanted.split()), suite, partial, DEBIAN_MIRROR]
    # Another architecture's root is made in one run too, with its executables under qemu:
    # debootstrap then reads the package indexes with the machine's own tools, which under
    # emulation (its --foreign second stage) takes far longer than installing the packages.
    # A mount namespace of its own, so that what debootstrap mounts in the root goes with it.
    with open(log, "w", encoding="utf-8") as out, \
            (foreign_binaries(arch) if foreign else contextlib.nullcontext()):
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", *command],
                              stdout=out, stderr=subprocess.STDOUT, timeout=7200)
    if done.returncode != 0:
        raise CommandFailed("debootstrap of %s %s failed (%d); see %s"
                            % (suite, arch, done.returncode, log))
    with open(os.path.join(partial, ROOT_MARKER), "w", encoding="utf-8") as f:
        f.write(wanted)
    shutil.rmtree(root, ignore_errors=True)
    os.rename(partial, root)
    return round(time.monotonic() - started)


def run_in_root(root, wheels_dir, command, timeout, cwd="/"):
    """Run `command` (a list) inside the Debian root with the repository at /mnt/corvane and
    `wheels_dir` at /mnt/wheels; a failure or time-out raises CommandFailed."""
    args = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", ROOT_SCRIPT,
            "sh", root, str(timeout), cwd, REPO_DIR, wheels_dir, *command]
    try:
        done = subprocess.run(args, capture_output=True, text=True, timeout=timeout + 60)
    finally:
        left = mounts_under(root)
        if left:
            raise CommandFailed("mounts left under %s: %s" % (root, left))
    if done.returncode != 0:
        raise CommandFailed("%s in %s failed (%d):\n%s\n%s" % (
            command[:6], root, done.returncode, done.stdout[-6000:], done.stderr[-6000:]))
    return done


def mounts_under(root):
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        return [line.split()[1] for line in mounts
                if line.split()[1].startswith(os.path.abspath(root) + "/")]
