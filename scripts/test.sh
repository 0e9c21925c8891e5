#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (unit tests
# and the window tests under a private Xvfb display).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"

bash "$root/scripts/setup.sh" "$build"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
