#!/usr/bin/env bash
# The whole suite: installs what is missing, builds, runs every test, runs them
# again under AddressSanitizer + UndefinedBehaviorSanitizer, tests the .deb and
# the tarball (as root), fuzzes the pack reader for a bounded time and checks
# the formatting.
#   TAVI_QUICK=1   skips the sanitizer build and the fuzz run (for a fast local loop)
#   TAVI_FUZZ_SECONDS=N   how long the fuzzer runs (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
passed=0
failed=0

# Runs ctest in a build directory and adds its counts to the totals.
run_ctest() {
  local log
  log=$(mktemp)
  local status=0
  ctest --test-dir "$1" --output-on-failure -j"$jobs" 2>&1 | tee "$log" || status=$?
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
  return "$status"
}

summary() {
  echo "tests: $passed passed, $failed failed"
}
trap summary EXIT

scripts/setup.sh

echo "== Format"
scripts/format.sh --check

echo "== Build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
run_ctest build

if [ "${TAVI_QUICK:-0}" = 1 ]; then
  exit 0
fi

echo "== Package, install, start and purge the .deb; unpack and start the tarball"
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: the package test installs into /usr with apt-get and needs root (CI runs it)"
elif scripts/package-test.sh build; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  exit 1
fi

echo "== Build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON -DTAVI_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
  run_ctest build-asan

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== Fuzz the pack reader"
  CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVI_FUZZ=ON >/dev/null
  cmake --build build-fuzz -j"$jobs"
  if scripts/fuzz.sh "${TAVI_FUZZ_SECONDS:-60}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    exit 1
  fi
fi
