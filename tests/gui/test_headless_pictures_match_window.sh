#!/usr/bin/env bash
# A picture of a headless run (drawn offscreen, no display) looks as the
# window does with the same seed: one weightless ball is the same sprite at
# the same place, and three thousand give the same colour layout.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16

# headless_picture FILE FRAMES: the same map, settings and seed, no display.
headless_picture() {
  (cd "$GUI_DIR" && env -u DISPLAY $(gui_viewer_env) "$VIEWER_BIN" --headless --frames "$2" --seed 5 map.ksm \
     --image "$1" >/dev/null) || gui_fail "the headless picture failed"
}

# --- one ball, weightless and alone: it stays where it started -------------
gui_write_config "count=1" "g=0" "cl=0"
gui_start_viewer --seed 5
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
render_settled_screenshot "$GUI_DIR/window_one.png"
gui_close_window
gui_wait_exit 20
headless_picture picture_one.png 30
[ "$(identify -format '%w %h' "$GUI_DIR/picture_one.png")" = "800 600" ] || gui_fail "picture size"
window=$(sprite_report "$GUI_DIR/window_one.png")
picture=$(sprite_report "$GUI_DIR/picture_one.png")
echo "sprite in the window:  $window"
echo "sprite in the picture: $picture"
read -r wn wx0 wx1 wy0 wy1 _ <<<"$window"
read -r pn px0 px1 py0 py1 _ <<<"$picture"
[ "$wn" -gt 50 ] || gui_fail "no sprite in the window"
runs_match "$px0 $px1 $py0 $py1" "$wx0 $wx1 $wy0 $wy1" 1 || gui_fail "the sprite is elsewhere"
within "$pn" $((wn * 9 / 10)) $((wn * 11 / 10)) || gui_fail "the sprite has $pn pixels, not $wn"
changed=$(pixels_changed "$GUI_DIR/window_one.png" "$GUI_DIR/picture_one.png")
echo "pixels that differ: $changed"
[ "$changed" -lt 200 ] || gui_fail "$changed pixels differ"

# --- many weightless balls: the same colours in the same places -------------
gui_write_config "count=3000" "g=0" "cl=0"
gui_start_viewer --seed 5
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
render_settled_screenshot "$GUI_DIR/window_many.png"
gui_close_window
gui_wait_exit 20
headless_picture picture_many.png 30
window=$(ball_layout "$GUI_DIR/window_many.png")
picture=$(ball_layout "$GUI_DIR/picture_many.png")
echo "layout (n left_r right_r top_g bottom_g mean_y) in the window:  $window"
echo "layout (n left_r right_r top_g bottom_g mean_y) in the picture: $picture"
read -r wn _ <<<"$window"
read -r pn _ <<<"$picture"
within "$pn" $((wn * 85 / 100)) $((wn * 115 / 100)) || gui_fail "$pn ball pixels, the window has $wn"
runs_match "$(echo "$picture" | cut -d' ' -f2-)" "$(echo "$window" | cut -d' ' -f2-)" 15 ||
  gui_fail "the colour layout differs"
echo "PASS"
