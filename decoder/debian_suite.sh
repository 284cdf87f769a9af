#!/bin/sh
# Prints the Debian suite whose python3.X packages are CPython VERSION: bullseye 3.9, bookworm
# 3.11, trixie 3.13, sid 3.14 and 3.15. No suite has 3.10 or 3.12.
#   usage: debian_suite.sh VERSION
set -eu
case $1 in
  3.9) echo bullseye ;;
  3.11) echo bookworm ;;
  3.13) echo trixie ;;
  3.14|3.15) echo sid ;;
  *) echo "debian suite: no Debian suite has CPython $1" >&2; exit 1 ;;
esac
