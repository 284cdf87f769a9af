#!/bin/sh
# The quick look of smoke.sh for an aarch64 wheel on a machine of another architecture: the
# module is sealed, and an arm64 Debian root of the wheel's CPython (python3.X and what it
# needs, unpacked by debian_debs.sh into WHEEL_DIR/qemu/<suite>-arm64-python3.X once) runs
# smoke_decode.py under qemu's user-mode emulator, which is named on the command line (no
# binfmt_misc registration). numpy, loguru and opencv-python-headless come as aarch64 wheels
# from PyPI, for the root's glibc, into a folder beside it.
#   usage: smoke_qemu.sh WHEEL_DIR [VERSION]   (VERSION: 3.11 by default; PYTHON runs pip)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
unset PYTHONPATH
out=$(cd "$1" && pwd)
version=${2:-3.11}
: "${PYTHON:=/usr/bin/python3}"
tag=cp$(echo "$version" | tr -d .)
wheel=$(ls "$out"/wheelhouse/*-"$tag"-"$tag"-*_aarch64.whl 2>/dev/null) \
  || { echo "smoke: no $tag aarch64 wheel in $out/wheelhouse; nothing checked under qemu"; exit 0; }
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64) \
  || { echo "smoke: qemu's aarch64 user-mode emulator is missing (Debian 12: qemu-user-static, 13: qemu-user)" >&2; exit 1; }
suite=$("$here/debian_suite.sh" "$version")
dest="$out/qemu/$suite-arm64-python$version"
"$here/debian_debs.sh" --with-deps "$suite" arm64 "$dest" "python$version" libstdc++6
root="$dest/root"
# Newer suites ship everything under /usr; the loader is looked for in /lib.
for dir in bin lib sbin; do
  [ -e "$root/$dir" ] || ln -s "usr/$dir" "$root/$dir"
done

# PyPI's aarch64 wheels that the root's glibc takes: manylinux_2_17 up to its version.
glibc=$(dpkg-deb -f "$dest"/apt/debs/libc6_*.deb Version | sed 's/^\([0-9]*\)\.\([0-9]*\).*/\2/')
platforms="--platform manylinux2014_aarch64"
minor=17
while [ "$minor" -le "$glibc" ]; do
  platforms="$platforms --platform manylinux_2_${minor}_aarch64"
  minor=$((minor + 1))
done
site="$out/qemu/site-$tag"
pip_venv="$out/qemu/pip-venv"
# A current pip: Debian 12's pip 23.0 refused numpy's cp315 wheels by its own interpreter's
# version despite --python-version.
if [ ! -x "$pip_venv/bin/pip" ]; then
  "$PYTHON" -m venv "$pip_venv"
  "$pip_venv/bin/pip" install -q --upgrade pip
fi
rm -rf "$site"
# shellcheck disable=SC2086  # $platforms is a list of options
"$pip_venv/bin/pip" install -q --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$version" --abi "$tag" $platforms numpy loguru opencv-python-headless "$wheel"

echo "smoke: $(basename "$wheel"): $(du -k "$wheel" | cut -f1) kB; run by $suite's arm64 python$version under $qemu"
"$here/sealed_module.sh" "$(ls "$site"/corvane/plugins/video/capture*.so)"
cd "$out/qemu"
PYTHONPATH="$site" PYTHONNOUSERSITE=1 "$qemu" -L "$root" "$root/usr/bin/python$version" "$here/smoke_decode.py"
