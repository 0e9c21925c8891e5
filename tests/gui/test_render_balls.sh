#!/usr/bin/env bash
# Balls as round shaded sprites in their start colours, and the middle
# button's gravity switch seen in where the balls gather.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16

# --- one ball, weightless and alone: a lit disc -----------------------------
gui_write_config "count=1" "g=0" "cl=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
shot="$GUI_DIR/one.png"
render_settled_screenshot "$shot"
rep=$(sprite_report "$shot")
echo "sprite: $rep"
read -r n x0 x1 y0 y1 lower_left upper_right mr mg mb <<<"$rep"
w=$((x1 - x0 + 1)); h=$((y1 - y0 + 1))
# 412.5 / d pixels wide at eye distance d, and every ball is 12 to 29 units
# from the eye: 14 to 35 pixels.
within "$w" 12 38 || gui_fail "the sprite is $w pixels wide"
within "$h" $((w - 2)) $((w + 2)) || gui_fail "the sprite is $w x $h, not square-bounded"
# A disc fills pi/4 of its bounding square; a square point would fill it all.
within "$(awk -v n="$n" -v w="$w" -v h="$h" 'BEGIN { print n / (w * h) }')" 0.6 0.9 ||
  gui_fail "the sprite is not round ($n pixels in $w x $h)"
# Lit from the upper right: the lower left quarter is much darker.
awk -v a="$lower_left" -v b="$upper_right" 'BEGIN { exit !(a < 0.6 * b) }' ||
  gui_fail "the sprite is not darker toward its lower left ($lower_left vs $upper_right)"
# Colour components lie in [0.1 + 0.9/16, 1]; the brightest pixel is the
# colour times about 1.04, so none of its components is near 0.
for c in "$mr" "$mg" "$mb"; do
  within "$c" 33 255 || gui_fail "brightest pixel ($mr, $mg, $mb) is not a ball colour"
done
gui_close_window
gui_wait_exit 20

# --- many weightless balls: red grows to the right, green upwards ----------
gui_write_config "count=3000" "g=0" "cl=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
shot="$GUI_DIR/many.png"
render_settled_screenshot "$shot"
layout=$(ball_layout "$shot")
echo "layout (n left_r right_r top_g bottom_g mean_y): $layout"
read -r n left_r right_r top_g bottom_g mean_y <<<"$layout"
[ "$n" -gt 50000 ] || gui_fail "only $n ball pixels for 3000 balls"
awk -v a="$left_r" -v b="$right_r" 'BEGIN { exit !(b > a + 40) }' ||
  gui_fail "red does not grow with x ($left_r left, $right_r right)"
awk -v a="$bottom_g" -v b="$top_g" 'BEGIN { exit !(b > a + 40) }' ||
  gui_fail "green does not grow with y ($bottom_g bottom, $top_g top)"
gui_close_window
gui_wait_exit 20

# --- gravity: the balls settle low; a middle click sends them up ------------
gui_write_config "count=1500" "g=150"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
sleep 3
shot="$GUI_DIR/fallen.png"
render_settled_screenshot "$shot"
mean_y=$(word "$(ball_layout "$shot")" 6)
echo "mean row of ball pixels after falling: $mean_y"
within "$mean_y" 330 600 || gui_fail "the balls did not gather low (mean row $mean_y)"
render_click 2 400 300
sleep 4
shot="$GUI_DIR/risen.png"
render_settled_screenshot "$shot"
kill -0 "$VIEWER_PID" 2>/dev/null || gui_fail "the viewer ended after a middle click"
mean_y=$(word "$(ball_layout "$shot")" 6)
echo "mean row of ball pixels after a middle click: $mean_y"
within "$mean_y" 0 270 || gui_fail "the balls did not gather high after a middle click (mean row $mean_y)"
render_click 2 400 300
sleep 4
shot="$GUI_DIR/fallen_again.png"
render_settled_screenshot "$shot"
mean_y=$(word "$(ball_layout "$shot")" 6)
echo "mean row after a second middle click: $mean_y"
within "$mean_y" 330 600 || gui_fail "a second middle click did not flip gravity back (mean row $mean_y)"
echo "PASS"
