#!/usr/bin/env bash
# Builds the simulation's tests with ThreadSanitizer into build-tsan and runs
# those that use threads: the parallel mode and its thread team. Fails on any
# data race.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-tsan"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKSM_SANITIZE_THREADS=ON -DKSM_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target test_sim
TSAN_OPTIONS="halt_on_error=1" "$build/tests/test_sim" --gtest_filter='Golden.Parallel*:Golden.Ordered*:ThreadTeam.*'
