#!/usr/bin/env bash
# Installs what is missing, builds, compiles the demo map and opens the viewer
# on it. Without a display (no DISPLAY) it runs the viewer for a few seconds
# under a private Xvfb and saves a screenshot instead.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
run="$root/out/demo"

bash "$root/scripts/setup.sh" "$build"
mkdir -p "$run"

"$build/compiler/ksm_compiler" "$root/data/demo/demo.ksd" "$run/map.ksm" "$root/data/demo/src/"
cp "$root/data/demo/config.ini" "$run/config.ini"

if [ -n "${DISPLAY:-}" ]; then
  cd "$run"
  exec "$build/viewer/app/ksm_viewer" "$@"
fi

echo "demo: no DISPLAY; running the viewer for a few seconds under a private Xvfb instead."
export KSM_BUILD_DIR="$build" KSM_SOURCE_DIR="$root"
source "$root/scripts/gui_lib.sh"
gui_begin
cp "$run/map.ksm" "$GUI_DIR/map.ksm"
[ -f "$run/config.ini" ] && cp "$run/config.ini" "$GUI_DIR/config.ini"
gui_start_viewer "$@"
title=$(gui_wait_title "FPS" 60)
sleep "${DEMO_SECONDS:-4}"
gui_screenshot "$run/screenshot.png"
title=$(gui_title || echo "$title")
cp "$GUI_DIR/viewer.out" "$run/viewer.out"
cat "$run/viewer.out"
echo "demo: window title: $title"
echo "demo: screenshot saved to $run/screenshot.png"
