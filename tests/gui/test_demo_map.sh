#!/usr/bin/env bash
# The demo map, compiled by the real compiler, in the real viewer: it loads,
# runs its 4000 balls, draws them and the meshes, and closes cleanly.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
gui_begin
"$GUI_BUILD_DIR/compiler/ksm_compiler" "$GUI_SOURCE_DIR/data/demo/demo.ksd" "$GUI_DIR/map.ksm" \
  "$GUI_SOURCE_DIR/data/demo/src" >"$GUI_DIR/compile.out" 2>&1 || gui_fail "the demo map did not compile"
cp "$GUI_SOURCE_DIR/data/demo/config.ini" "$GUI_DIR/config.ini"

gui_start_viewer
title=$(gui_wait_title "$GUI_FPS_RE" 60)
[[ "$title" == *"Count: 4000    >>>" ]] || gui_fail "title does not count 4000 balls: $title"
sleep 2
gui_screenshot "$GUI_DIR/demo.png"
lit=$(gui_lit_pixels "$GUI_DIR/demo.png")
echo "lit pixels: $lit"
# Balls and wireframes cover a good part of the window, not just the box.
[ "$lit" -gt 40000 ] || gui_fail "only $lit lit pixels in the demo view"
# Balls are coloured: some pixel well away from grey.
coloured=$(convert "$GUI_DIR/demo.png" -colorspace HSL -channel G -separate -threshold 50% \
  -format "%[fx:int(mean*w*h+0.5)]" info:)
echo "saturated pixels: $coloured"
[ "$coloured" -gt 5000 ] || gui_fail "the balls are not drawn in colour"
gui_close_window
gui_wait_exit 20
[ "$GUI_EXIT_STATUS" = 0 ] || gui_fail "closing the window gave exit status $GUI_EXIT_STATUS"
echo PASS
