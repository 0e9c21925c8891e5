#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the unit
# and window tests (under a private Xvfb), the same suite again built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests built
# with ThreadSanitizer, and every fuzz target for a bounded time.
# KSM_TEST_QUICK=1 runs only the first of these.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"

bash "$root/scripts/setup.sh" "$build"
echo "== test suite =="
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
if [ "${KSM_TEST_QUICK:-0}" = 1 ]; then
  exit 0
fi
echo "== test suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
bash "$root/scripts/sanitize.sh"
echo "== threaded tests under ThreadSanitizer =="
bash "$root/scripts/tsan.sh"
echo "== fuzz targets =="
bash "$root/scripts/fuzz.sh"
