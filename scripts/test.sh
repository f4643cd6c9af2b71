#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan (warnings are errors),
# runs every test, then each fuzz target for a bounded number of runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/test -G Ninja -DBB_SANITIZE=ON -DBB_WERROR=ON -DBB_BENCH=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 600

# Fuzz targets: clang with libFuzzer, a bounded number of runs each.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DBB_FUZZ=ON -DBB_TESTS=OFF \
  -DBB_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  args=(-runs=200000 -max_len=8192 -timeout=10)
  [ -d "$corpus" ] && args+=("$corpus")
  echo "fuzz: $name"
  "$target" "${args[@]}" 2>&1 | tail -n 1
done
echo "all tests passed"
