#!/bin/sh
# Prints the architecture a C compiler builds for, x86_64 or aarch64, from the macros it
# predefines: the build machine's own architecture says nothing about a cross compiler's.
#   usage: target_arch.sh CC
set -eu
macros=$($1 -dM -E -x c /dev/null) || { echo "target_arch: $1 does not run" >&2; exit 1; }
case $macros in
  *"#define __aarch64__ 1"*) echo aarch64 ;;
  *"#define __x86_64__ 1"*) echo x86_64 ;;
  *) echo "target_arch: $1 builds for neither x86_64 nor aarch64" >&2; exit 1 ;;
esac
