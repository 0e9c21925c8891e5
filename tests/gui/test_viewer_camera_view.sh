#!/usr/bin/env bash
# The camera keeps the field in view: a field of 200 shows its far face
# whole at start, zooming out to the limit and back in never blanks the
# window; and a ball keeps its size against the scene whatever the window's
# shape (its sprite scales with the window height alone).
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin

# --- field 200: the far face of the box (z = 201, 343.9 from the eye) --------
# Its edges cross row 300 at x = 400 -+ 0.98658 * {100, 101} / 343.9 * 400,
# i.e. 285 and 516, and column 400 at y = 300 -+ 1.3154 * {101, 100} / 343.9
# * 300, i.e. 184 and 415. The near face's edges are at 124 and 679.
gui_write_map 200 16
gui_write_config "count=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
far_face_shows() {  # far_face_shows FILE: true when all four far edges are lit
  local row col
  row=$(white_runs_in_row "$1" 300)
  col=$(ppm_scan "$1" 'if (x == 400 && r == 255 && g == 255 && b == 255) out = out y " "' 'print out')
  echo "row 300: $row; column 400: $col"
  echo "$row" | tr ' ' '\n' | awk '$1 >= 282 && $1 <= 288 { a = 1 } $1 >= 513 && $1 <= 519 { b = 1 }
                                   END { exit !(a && b) }' || return 1
  echo "$col" | tr ' ' '\n' | awk '$1 >= 181 && $1 <= 187 { a = 1 } $1 >= 412 && $1 <= 418 { b = 1 }
                                   END { exit !(a && b) }'
}
render_settled_screenshot "$GUI_DIR/start.png"
far_face_shows "$GUI_DIR/start.png" || gui_fail "the far face of a field of 200 is not whole at start"

# 40 notches out reach the limit (20 field diagonals) and stop there.
gui_key $(printf 'minus %.0s' $(seq 1 40))
render_settled_screenshot "$GUI_DIR/out.png"
read -r n x0 x1 y0 y1 <<<"$(white_box "$GUI_DIR/out.png")"
echo "zoomed out: $n white pixels in x $x0..$x1, y $y0..$y1"
[ "$n" -gt 20 ] || gui_fail "zoomed out to the limit, the window is black"
within $((x1 - x0)) 5 40 || gui_fail "at the limit the box is not small but visible (${x0}..${x1})"
# As many notches in bring the eye closer than at start (the way out
# stopped at the limit): the box still shows around the window.
gui_key $(printf 'plus %.0s' $(seq 1 40))
render_settled_screenshot "$GUI_DIR/back.png"
read -r n _ <<<"$(white_box "$GUI_DIR/back.png")"
[ "$n" -gt 1000 ] || gui_fail "zoomed back in, the window is nearly black ($n white pixels)"
gui_key q
gui_wait_exit 20

# --- one ball at three window shapes -----------------------------------------
# A field of 2 and ten notches out keep the ball in view even 300 pixels
# wide. Its height in pixels, times 600 / window height, stays the same.
gui_write_map 2 2
gui_write_config "count=1" "g=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
gui_key space $(printf 'minus %.0s' $(seq 1 10))
ref=""
for size in 800x600 300x700 1000x500; do
  w=${size%x*}
  h=${size#*x}
  gui_resize "$w" "$h"
  render_settled_screenshot "$GUI_DIR/ball_$size.png"
  # Ball pixels below the "PAUSED" line.
  read -r n bx0 bx1 by0 by1 <<<"$(ppm_scan "$GUI_DIR/ball_$size.png" \
    "if (y >= 30 && $BALL_PIXEL) { n++; if (n == 1 || x < x0) x0 = x; if (n == 1 || x > x1) x1 = x;
                                     if (n == 1 || y < y0) y0 = y; if (n == 1 || y > y1) y1 = y }" \
    'print n + 0, x0 + 0, x1 + 0, y0 + 0, y1 + 0')"
  [ "$n" -gt 50 ] || gui_fail "no ball in view at $size ($n pixels)"
  scaled=$(( (by1 - by0 + 1) * 600 / h ))
  echo "$size: ball $((bx1 - bx0 + 1)) x $((by1 - by0 + 1)) pixels, $scaled at height 600"
  [ -n "$ref" ] || ref=$scaled
  within "$scaled" $((ref - 3)) $((ref + 3)) || gui_fail "at $size the ball is $scaled, not $ref, at height 600"
done
echo "PASS"
