#!/bin/sh
# Writes compiler wrappers around the zig toolchain (the `ziglang` package from PyPI) into
# BIN_DIR: cc, c++, ar and ranlib that build for x86-64 Linux against glibc 2.17, so that what
# they link runs on any manylinux2014 system. C++ code links zig's own libc++ statically.
#   usage: zig_toolchain.sh ZIG_EXECUTABLE BIN_DIR CACHE_DIR
set -eu
zig=$1 bin=$2 cache=$3
mkdir -p "$bin" "$cache"
write() {
  cat > "$bin/$1" <<WRAPPER
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='$cache' ZIG_LOCAL_CACHE_DIR='$cache' exec '$zig' $2 "\$@"
WRAPPER
  chmod +x "$bin/$1"
}
write cc "cc -target x86_64-linux-gnu.2.17 -g0"
write c++ "c++ -target x86_64-linux-gnu.2.17 -g0"
write ar "ar"
write ranlib "ranlib"
