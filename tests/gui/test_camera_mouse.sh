#!/usr/bin/env bash
# Orbiting and zooming with the mouse, seen in the picture of the box and the
# cube (no balls, so the picture changes only when the camera does).
#
# Field size 16 in an 800 x 600 window: one field unit is 50 pixels across
# and 37.5 up, a turn of 0.1 rad per unit. Row 300 crosses the box's far left
# edge at column 400 - 394.63 * 8 / (9 + d), d being the eye's distance to
# the centre (16/1.4 + 8 = 19.43 at start).
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16
gui_write_config "count=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
start="$GUI_DIR/start.png"
render_settled_screenshot "$start"
start_runs=$(white_runs_in_row "$start" 300)
far_left=$(word "$start_runs" 2)
within "$far_left" 286 292 || gui_fail "far left edge at $far_left before zooming ($start_runs)"

# --- the wheel: a tenth of the distance closer per notch; a notch out undoes one in
render_click 4 400 300
shot="$GUI_DIR/zoom_in.png"
render_settled_screenshot "$shot"
runs=$(white_runs_in_row "$shot" 300)
echo "zoomed in: $runs"
# d = 17.49: the far edge moves out to 281, the near edge from 124 to 67.
within "$(word "$runs" 1)" 64 70 || gui_fail "zooming in: near left edge not at 67 ($runs)"
within "$(word "$runs" 2)" 278 284 || gui_fail "zooming in: far left edge not at 281 ($runs)"
render_click 5 400 300
render_click 5 400 300
shot="$GUI_DIR/zoom_out.png"
render_settled_screenshot "$shot"
runs=$(white_runs_in_row "$shot" 300)
echo "zoomed out: $runs"
# d = 19.43 / 0.9 = 21.59: far left edge at 297.
within "$(word "$runs" 2)" 294 300 || gui_fail "zooming out: far left edge not at 297 ($runs)"
render_click 4 400 300  # back to the start
kill -0 "$VIEWER_PID" || gui_fail "the viewer ended while zooming"

# --- a left drag to the right turns the view; a right drag back undoes it ---
before="$GUI_DIR/before_drag.png"
render_settled_screenshot "$before"
gui_drag 1 300 300 400 300
turned="$GUI_DIR/turned.png"
render_settled_screenshot "$turned"
changed=$(pixels_changed "$before" "$turned")
turned_runs=$(white_runs_in_row "$turned" 300)
echo "after a left drag of 100 px: $changed pixels changed; row 300: $turned_runs"
[ "$changed" -gt 2000 ] || gui_fail "a left drag did not turn the view ($changed pixels changed)"
[ "$turned_runs" != "$(white_runs_in_row "$before" 300)" ] || gui_fail "the box edges did not move"
gui_drag 3 400 300 300 300
back="$GUI_DIR/back.png"
render_settled_screenshot "$back"
changed=$(pixels_changed "$before" "$back")
echo "after the right drag back: $changed pixels differ from before"
[ "$changed" -lt 200 ] || gui_fail "a right drag back did not undo the turn ($changed pixels differ)"

# --- a middle drag alone turns nothing ---------------------------------------
gui_drag 2 300 300 500 100
middle="$GUI_DIR/middle.png"
render_settled_screenshot "$middle"
changed=$(pixels_changed "$back" "$middle")
[ "$changed" -lt 10 ] || gui_fail "a middle-button drag turned the view ($changed pixels)"

# --- a long upward drag stops at the pitch limit -----------------------------
# 599 pixels up is 16 units, 1.6 rad: the turn stops at 1.5. A second one
# changes nothing more; a short drag down turns again.
gui_drag 1 400 599 400 0
up1="$GUI_DIR/up1.png"
render_settled_screenshot "$up1"
changed=$(pixels_changed "$middle" "$up1")
[ "$changed" -gt 2000 ] || gui_fail "an upward drag did not turn the view ($changed pixels)"
gui_drag 1 400 599 400 0
up2="$GUI_DIR/up2.png"
render_settled_screenshot "$up2"
changed=$(pixels_changed "$up1" "$up2")
echo "second upward drag at the limit: $changed pixels changed"
[ "$changed" -lt 10 ] || gui_fail "the view turned past the pitch limit ($changed pixels changed)"
gui_drag 1 400 300 400 350
down="$GUI_DIR/down.png"
render_settled_screenshot "$down"
changed=$(pixels_changed "$up2" "$down")
[ "$changed" -gt 500 ] || gui_fail "a downward drag from the limit did not turn ($changed pixels)"
kill -0 "$VIEWER_PID" || gui_fail "the viewer ended"
echo "PASS"
