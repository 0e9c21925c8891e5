#!/usr/bin/env bash
# The layers overlay (key l): the start box green, a teleport's from box blue
# and its to box orange, a grey line between their centres, each where the
# start-up camera puts it; nothing of it before the key or after a second
# press.
#
# Field 16: a point (x, y, z) lands in column 400 + 394.63 (x - 8) / (z + 11.43)
# and row 300 - 394.63 (y - 8) / (z + 11.43). All boxes lie in z units 0..0
# (z from 0 to 1). Start box x 2..5, y 2..5: columns 193..305, rows 395..507.
# From box x 11..14, y 1..2: columns 495..607, rows 490..542. To box x 11..14,
# y 13..14: columns 495..607, rows 93..141. Centres joined along column 549.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
cat >"$GUI_DIR/layers.ksd" <<'KSD'
[main]
field_size = 16
grid_size = 16
objs_num = 0
teleports = 1
[start]
gg = 1
from_x = 2
from_y = 2
from_z = 0
to_x = 4
to_y = 4
to_z = 0
[teleport_0]
from_from_x = 11
from_from_y = 1
from_from_z = 0
from_to_x = 13
from_to_y = 1
from_to_z = 0
to_from_x = 13
to_from_y = 13
to_from_z = 0
to_to_x = 11
to_to_y = 13
to_to_z = 0
KSD
(cd "$GUI_DIR" && "$GUI_BUILD_DIR/compiler/ksm_compiler" layers.ksd map.ksm . >/dev/null) ||
  gui_fail "could not compile the map"
gui_write_config "count=0"

# "inside outside" counts of a colour class for a rectangle.
colour_counts() {  # colour_counts FILE 'test' X0 X1 Y0 Y1
  ppm_scan "$1" "if ($2) { if (x >= $3 && x <= $4 && y >= $5 && y <= $6) n_in++; else n_out++ }" 'print n_in + 0, n_out + 0'
}
GREEN='g > 200 && r < 60 && b < 60'
BLUE='b > 200 && r < 60 && g < 60'
ORANGE='r > 200 && g > 100 && g < 160 && b < 60'
GREY='r > 150 && r < 200 && r == g && g == b'
shot="$GUI_DIR/shot.png"

gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
render_settled_screenshot "$shot"
for c in "$GREEN" "$BLUE" "$ORANGE"; do
  [ "$(colour_counts "$shot" "$c" 0 0 0 0)" = "0 0" ] || gui_fail "overlay colours before the key ($c)"
done

gui_key l
render_settled_screenshot "$shot"
check() {  # check NAME TEST X0 X1 Y0 Y1 MIN
  local counts inside outside
  counts=$(colour_counts "$shot" "$2" "$3" "$4" "$5" "$6")
  inside=${counts% *}; outside=${counts#* }
  echo "$1: $inside inside, $outside outside"
  [ "$inside" -ge "$7" ] && [ "$outside" -le 2 ] || gui_fail "$1 is not where the camera puts it ($counts)"
}
check "start box (green)" "$GREEN" 188 310 390 512 300
check "from box (blue)" "$BLUE" 490 612 485 547 250
check "to box (orange)" "$ORANGE" 490 612 88 146 250
check "centre line (grey)" "$GREY" 544 554 112 520 300

gui_key l
render_settled_screenshot "$shot"
[ "$(colour_counts "$shot" "$GREEN" 0 0 0 0)" = "0 0" ] || gui_fail "a second l leaves the overlay on"
echo "PASS"
