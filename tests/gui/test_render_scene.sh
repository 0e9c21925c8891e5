#!/usr/bin/env bash
# The static scene without balls: the white field box and the map's cube
# mesh where the start-up camera puts them, back faces culled.
#
# Map of field size 16: the box spans 0..17, the cube 16/3..32/3. The camera
# looks from (8, 8, -16/1.4) at (8, 8, 8); an 800 x 600 window with the
# projection's P[0] = 0.986577 puts a world point at column
# 400 + 394.63 * (x - 8) / (z + 11.43).
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16
gui_write_config "count=0"
gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
shot="$GUI_DIR/scene.png"
render_settled_screenshot "$shot"

# Row 300 (the height of the centre) crosses, left to right: the box's near
# left edge (z = 0), its far left edge (z = 17), the cube's front face left
# edge, its diagonal, its right edge, the box's far and near right edges.
runs=$(white_runs_in_row "$shot" 300)
echo "row 300 white runs: $runs"
runs_match "$runs" "124 289 337 400 463 525 711" 3 ||
  gui_fail "box and cube edges are not where the camera puts them: $runs"

# The box's near bottom edge (y = 0, z = 0) is row 300 + 276 = 576, and it
# runs the width of the near face.
bottom=$(ppm_scan "$shot" 'if (y == 576 && r == 255 && g == 255 && b == 255) n++' 'print n + 0')
[ "$bottom" -ge 550 ] || gui_fail "the box's near bottom edge has only $bottom white pixels"

# The cube's back face (z = 32/3) would have its left edge at column 352;
# only its front face faces the camera, so apart from the front face's
# diagonal crossing once, that column stays dark between rows 260 and 340.
back=$(white_in_column "$shot" 352 260 340)
[ "$back" -le 4 ] || gui_fail "back faces of the cube are drawn ($back white pixels in column 352)"
front=$(white_in_column "$shot" 337 250 350)
[ "$front" -ge 90 ] || gui_fail "the cube's front face edge is missing ($front white pixels)"
echo "PASS"
