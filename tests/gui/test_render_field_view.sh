#!/usr/bin/env bash
# ksm_field_viewer, the field view: its own title, no simulation, and the
# map's filled collision cells as white points where the cells are.
#
# The test map's cube spans 16/3..32/3 of a field of 16 and its filled cells
# are those of the grid's middle third. With the start-up camera every point
# of the cube lands in columns 337..463 and rows 237..363.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
VIEWER_BIN="$GUI_BUILD_DIR/viewer/app/ksm_field_viewer"
GUI_TITLE_RE='Kestrion Physics v 1\.01b'
FIELD_FPS_RE="^${GUI_TITLE_RE}    <<<    FPS: [0-9]+    Render: [0-9]+\.[0-9]{3}    Phys: 0\.[0-9]{3}    Count: 50    >>>\$"
gui_begin
gui_write_config "count=50"

# --- a grid of 24 on a field of 16: 1.5 cells per unit ----------------------
# Cells 8..15 hold pushes and sit at 8/1.5 .. 15/1.5 = 5.33 .. 10 field
# units, inside the cube. (Dividing by the integer quotient 1 would put them
# at 8 .. 15, far to the upper right.)
gui_write_map 16 24
gui_start_viewer
gui_wait_title "^${GUI_TITLE_RE}    <<<    1-st sec    >>>\$" 30 >/dev/null
title=$(gui_wait_title "$FIELD_FPS_RE" 30)
echo "title: $title"
[ "$(sed -n 1p "$GUI_DIR/viewer.out")" = "Kestrion Physics v 1.01b" ] || gui_fail "banner is not the field view's"
grep -q '^LOG:' "$GUI_DIR/viewer.out" && gui_fail "the shaders compiled with a log"
shot="$GUI_DIR/field24.png"
render_settled_screenshot "$shot"
box=$(white_box "$shot")
echo "white points (count minx maxx miny maxy): $box"
read -r n x0 x1 y0 y1 <<<"$box"
[ "$n" -ge 100 ] || gui_fail "only $n white pixels for 512 filled cells"
within "$x0" 335 400 && within "$x1" 400 465 && within "$y0" 235 300 && within "$y1" 300 365 ||
  gui_fail "the cells are not drawn where the cube is: $box"
# Nothing else is drawn: no box, no mesh, no balls.
others=$(ppm_scan "$shot" 'if ((r > 0 || g > 0 || b > 0) && !(r == 255 && g == 255 && b == 255)) n++' 'print n + 0')
[ "$others" -eq 0 ] || gui_fail "$others pixels are neither black nor white"
gui_close_window
gui_wait_exit 20

# --- a grid of 8, coarser than the field: 2 units per cell -------------------
# Cells 2..4 sit at 4, 6 and 8: 27 points. (The integer quotient 0 would put
# them at infinity, drawing nothing.)
gui_write_map 16 8
gui_start_viewer
gui_wait_title "$FIELD_FPS_RE" 30 >/dev/null
shot="$GUI_DIR/field8.png"
render_settled_screenshot "$shot"
box=$(white_box "$shot")
echo "white points (count minx maxx miny maxy): $box"
read -r n x0 x1 y0 y1 <<<"$box"
[ "$n" -ge 20 ] || gui_fail "only $n white pixels for 27 filled cells"
# x from 4 (at z = 4: column 400 - 394.63 * 4 / 15.43 = 298) to 8 (column 400).
within "$x0" 290 310 && within "$x1" 395 405 || gui_fail "the coarse cells are misplaced: $box"
echo "PASS"
