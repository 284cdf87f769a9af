#!/bin/sh
# Checks that an extension module of a wheel is sealed: it exports PyInit_capture alone.
# Prints its size and the libraries it needs (readelf and nm read either architecture).
#   usage: sealed_module.sh MODULE
set -eu
module=$1
exports=$(nm -D --defined-only "$module" | awk '{print $3}')
[ "$exports" = "PyInit_capture" ] \
  || { echo "smoke: $module exports more than PyInit_capture: $exports" >&2; exit 1; }
echo "smoke: $(basename "$module"): exports $exports; needs" \
  $(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
