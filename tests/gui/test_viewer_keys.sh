#!/usr/bin/env bash
# Keys of the real viewer: Space freezes the picture and resumes it, n
# steps while paused, p saves a PNG equal to the window, h shows the help,
# q ends the viewer with status 0.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16
gui_write_config "count=300"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null

# --- Space: the picture holds still --------------------------------------
gui_key space
render_settled_screenshot "$GUI_DIR/a.png"
sleep 1
gui_screenshot "$GUI_DIR/b.png"
changed=$(pixels_changed "$GUI_DIR/a.png" "$GUI_DIR/b.png")
[ "$changed" = 0 ] || gui_fail "paused, the picture changed in a second ($changed pixels)"

# --- p: a PNG of the window, equal to a screenshot of it -------------------
gui_key p
shot=""
for _ in $(seq 1 50); do
  shot=$(sed -n 's/^Screenshot saved: //p' "$GUI_DIR/viewer.out")
  [ -n "$shot" ] && break
  sleep 0.1
done
[ -n "$shot" ] || gui_fail "p printed no screenshot path"
[[ "$shot" == "$GUI_DIR"/ksm_*.png ]] || gui_fail "the screenshot is not in the working directory: $shot"
[ "$(identify -format '%wx%h' "$shot")" = "800x600" ] || gui_fail "the PNG is not 800x600"
changed=$(pixels_changed "$shot" "$GUI_DIR/b.png")
[ "$changed" = 0 ] || gui_fail "the PNG differs from the window in $changed pixels"

# --- g and n: reversed gravity, a few single steps move the balls ----------
gui_key g n n n n n n n n n n n n n n n n n n n n
render_settled_screenshot "$GUI_DIR/c.png"
changed=$(pixels_changed "$GUI_DIR/b.png" "$GUI_DIR/c.png")
[ "$changed" -gt 0 ] || gui_fail "n did not step the paused simulation"
sleep 1
gui_screenshot "$GUI_DIR/d.png"
changed=$(pixels_changed "$GUI_DIR/c.png" "$GUI_DIR/d.png")
[ "$changed" = 0 ] || gui_fail "after stepping, the paused picture changed ($changed pixels)"

# --- Space again: the balls move on ------------------------------------------
gui_key space
render_settled_screenshot "$GUI_DIR/e.png"
sleep 0.5
gui_screenshot "$GUI_DIR/f.png"
changed=$(pixels_changed "$GUI_DIR/e.png" "$GUI_DIR/f.png")
[ "$changed" -gt 100 ] || gui_fail "after Space again the picture stood still ($changed pixels)"

# --- h: the help in the upper left corner ------------------------------------
help_pixels() {
  ppm_scan "$1" 'if (x < 320 && y < 190 && r > 200 && g > 150 && b < 120) n++' 'print n + 0'
}
before=$(help_pixels "$GUI_DIR/f.png")
gui_key h
render_settled_screenshot "$GUI_DIR/g.png"
after=$(help_pixels "$GUI_DIR/g.png")
echo "help text pixels: $before before h, $after after"
[ "$after" -gt $((before + 1000)) ] || gui_fail "h showed no help ($before, then $after text pixels)"

# --- q: a clean end ----------------------------------------------------------
gui_key q
gui_wait_exit 20
[ "$GUI_EXIT_STATUS" = 0 ] || gui_fail "q gave exit status $GUI_EXIT_STATUS"
echo "PASS"
