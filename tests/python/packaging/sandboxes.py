"""Places to run an installed wheel where the build machine's extras cannot help it: a private
mount namespace in which the system's OpenCV and FFmpeg libraries and its C and C++ compilers
are empty files, and a minimal Debian 11 root (glibc 2.31, its own Python 3.9) made by
debootstrap. Both need root. Every mount lives in a namespace of its own, so it is gone when
the command ends, however it ends; the root's mounts are also undone explicitly."""
import glob
import os
import shutil
import subprocess

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

DEBIAN11 = "bullseye"
DEBIAN11_PACKAGES = "python3,python3-venv,ca-certificates,binutils"
DEBIAN_MIRROR = "http://deb.debian.org/debian"
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


def ensure_debian11_root(root, log):
    """Make the Debian 11 root at `root` unless a complete one is there. debootstrap writes into
    a sibling folder that is renamed when it has finished, so an interrupted run is redone."""
    if os.access(os.path.join(root, "usr", "bin", "python3"), os.X_OK):
        return False
    partial = root + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    with open(log, "w", encoding="utf-8") as out:
        done = subprocess.run(["debootstrap", "--variant=minbase",
                               "--include=" + DEBIAN11_PACKAGES, DEBIAN11, partial,
                               DEBIAN_MIRROR], stdout=out, stderr=subprocess.STDOUT,
                              timeout=3600)
    if done.returncode != 0:
        raise CommandFailed("debootstrap of %s failed (%d); see %s"
                            % (DEBIAN11, done.returncode, log))
    os.rename(partial, root)
    return True


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
