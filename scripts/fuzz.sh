#!/usr/bin/env bash
# Fuzzes the pack reader for SECONDS (default 60) on a copy of fuzz/corpus in the
# fuzz build directory. Exits non-zero when the fuzzer finds a crash, a sanitizer
# report or a pack that does not read back equal; the input is kept in
# build-fuzz/fuzz-artifacts/.
#   Build first: CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAVI_FUZZ=ON && cmake --build build-fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
build=${TAVI_FUZZ_BUILD:-build-fuzz}
bin=$build/fuzz/fuzz_pack_reader
if [ ! -x "$bin" ]; then
  echo "fuzz.sh: $bin is not built" >&2
  exit 2
fi
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
cp -n fuzz/corpus/* "$corpus"/
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
  -dict=fuzz/pack.dict -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus"
