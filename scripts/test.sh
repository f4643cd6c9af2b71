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
ctest_log=$(mktemp)
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 600 | tee "$ctest_log"
total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$ctest_log")
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1/p' "$ctest_log")
rm -f "$ctest_log"

# Fuzz targets: clang with libFuzzer, a bounded number of runs each.
# The scan worker shares its state with the frontend's threads and with
# signal handlers: the backend's unit tests run again under ThreadSanitizer.
cmake -S . -B build/tsan -G Ninja -DBB_TSAN=ON -DBB_WERROR=ON >/dev/null
tsan_tests=$(cmake --build build/tsan --target help | sed -n 's/^\(sane_[a-z_]*_test\): .*/\1/p')
# shellcheck disable=SC2086  # one target a word
cmake --build build/tsan -j "$jobs" --target $tsan_tests
for t in $tsan_tests; do
  echo "tsan: $t"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build/tsan/tests/sane/$t" --gtest_brief=1 \
    || { echo "tsan: $t failed"; exit 1; }
done

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DBB_FUZZ=ON -DBB_TESTS=OFF \
  -DBB_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  # libFuzzer adds what it finds to its corpus folder: run on a copy so the
  # tracked seeds stay as they are.
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "fuzz: $name"
  # 200,000 runs, or a minute for the slow targets (a whole conversation
  # runs about a thousand a second).
  "$target" -runs=200000 -max_total_time=60 -max_len=8192 -timeout=10 "$work" >"$work.log" 2>&1 \
    || { tail -n 40 "$work.log"; rm -rf "$work" "$work.log"; exit 1; }
  tail -n 1 "$work.log"
  rm -rf "$work" "$work.log"
done
echo "tests: $((total - failed)) passed, $failed failed"
