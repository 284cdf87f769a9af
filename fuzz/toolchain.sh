#!/bin/sh
# Writes the compilers of the fuzzing build into DIR: clang and clang++ with AddressSanitizer,
# UBSan and libFuzzer's coverage instrumentation (no libFuzzer driver: only the fuzzer's own
# link adds it), with line tables for readable stacks. UBSan reports and goes on here; the
# project's own code is built not to recover (CMakeLists.txt, CORVANE_FUZZ). The scripts' text
# is part of the bundled decoder's build key, so the instrumented decoder has its own folder.
#   usage: toolchain.sh DIR
set -eu
dir=$1
mkdir -p "$dir"
clang=$(command -v clang) clangxx=$(command -v clang++)
for pair in "cc:$clang" "c++:$clangxx"; do
  name=${pair%%:*} compiler=${pair#*:}
  cat > "$dir/$name" <<WRAPPER
#!/bin/sh
exec $compiler -fsanitize=address,undefined -fsanitize=fuzzer-no-link -fno-omit-frame-pointer -gline-tables-only "\$@"
WRAPPER
  chmod +x "$dir/$name"
done
ln -sf "$(command -v llvm-ar || command -v ar)" "$dir/ar"
ln -sf "$(command -v llvm-ranlib || command -v ranlib)" "$dir/ranlib"
