#!/usr/bin/env bash
# Builds and runs every benchmark. Each prints its measurements as ratios against
# a baseline measured in the same run; the exit status is non-zero when a budget
# was missed. Benchmarks are not tests: run them on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVI_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
status=0
for bench in models client coach workspace window service startup updates review; do
  echo "== bench_$bench"
  "build/bench/$bench/bench_$bench" || status=1
done
exit "$status"
