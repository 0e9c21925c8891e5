#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time from its
# committed seed corpus. Fails on any crash, leak, time-out or sanitizer
# report, and leaves the input that caused it under out/fuzz/<target>/.
#
#   scripts/fuzz.sh [seconds per target]   (default: $FUZZ_SECONDS or 60)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
seconds="${1:-${FUZZ_SECONDS:-60}}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is not installed; skipping the fuzz targets"
  exit 0
fi

# Configured every time, so a new target is always built.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKSM_FUZZ=ON -DKSM_SANITIZE=ON -DKSM_BENCH=OFF >/dev/null
targets=()
for src in "$root"/tests/fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$src" .cpp)")
done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

status=0
for t in "${targets[@]}"; do
  work="$root/out/fuzz/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "$root/tests/fuzz/corpus/$t/." "$work/corpus/" 2>/dev/null || true
  echo "fuzz: $t for ${seconds}s"
  if ! (cd "$work" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$build/tests/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -malloc_limit_mb=16384 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" >"$work/log.txt" 2>&1); then
    echo "fuzz: $t FAILED; see $work/log.txt and the input in $work/artifacts/:"
    ls "$work/artifacts" || true
    grep -E 'ERROR|SUMMARY|runtime error' "$work/log.txt" | head -n 10 || true
    status=1
  else
    # Executions and the coverage reached, as libFuzzer reports them.
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log.txt" | tail -n 1 || true
    grep -E '^stat::number_of_executed_units' "$work/log.txt" || true
  fi
done
exit $status
