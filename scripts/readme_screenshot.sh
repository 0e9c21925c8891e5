#!/usr/bin/env bash
# Remakes docs/demo.png, the README's picture of the demo map: the demo runs
# under a private Xvfb for a few seconds and its screenshot is kept.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
env -u DISPLAY DEMO_SECONDS="${DEMO_SECONDS:-1}" bash "$root/scripts/demo.sh" >/dev/null
mkdir -p "$root/docs"
cp "$root/out/demo/screenshot.png" "$root/docs/demo.png"
echo "saved $root/docs/demo.png"
