#!/bin/sh
# Writes compiler wrappers around the zig toolchain (the `ziglang` package from PyPI) into
# BIN_DIR: cc, c++, ar and ranlib that build for Linux on ARCH (x86_64, the default, or
# aarch64) against glibc 2.17, so that what they link runs on any manylinux2014 system of that
# architecture. zig builds for any target from any machine, so an aarch64 build on an x86-64
# machine is an ordinary one. C++ code links zig's own libc++ statically. aarch64's baseline
# CPU (ARMv8-A) has NEON.
#   usage: zig_toolchain.sh ZIG_EXECUTABLE BIN_DIR CACHE_DIR [ARCH]
set -eu
zig=$1 bin=$2 cache=$3 arch=${4:-x86_64}
case $arch in
  x86_64|aarch64) ;;
  *) echo "zig_toolchain: unknown architecture $arch (x86_64 or aarch64)" >&2; exit 1 ;;
esac
mkdir -p "$bin" "$cache"
write() {
  cat > "$bin/$1" <<WRAPPER
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='$cache' ZIG_LOCAL_CACHE_DIR='$cache' exec '$zig' $2 "\$@"
WRAPPER
  chmod +x "$bin/$1"
}
write cc "cc -target $arch-linux-gnu.2.17 -g0"
write c++ "c++ -target $arch-linux-gnu.2.17 -g0"
write ar "ar"
write ranlib "ranlib"
