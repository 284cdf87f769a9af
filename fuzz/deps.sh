#!/bin/sh
# libFuzzer and the sanitizer runtimes of Debian's clang: libclang-rt-N-dev, N being the major
# version of the clang that `clang` runs (14 on Debian 12, 19 on Debian 13).
set -eu
major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
package=libclang-rt-$major-dev
if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package"
fi
