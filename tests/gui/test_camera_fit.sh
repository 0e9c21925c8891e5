#!/usr/bin/env bash
# The view fits the field in a tall window: -geometry sets the window's
# size, the field spans its width; Home and 0 bring a turned and zoomed
# view back; a live reload to a field of 200 fits the new field, far plane
# included.
#
# Window 360 x 640 (aspect 0.5625): the eye stands n / 1.4 / 0.5625 before
# the field, so a point (x, y, z) of a field of n lands in column
# 180 + 420.94 (x - n/2) / (z + 2.54 n). Row 320 (the middle) then crosses
# the front face's left edge (x = 0, z = 0) at column 14, and the far face's
# edges (z = n + 1) at 90 and 281 for n = 16, at 87 and 273 for n = 200.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin

# has_runs FILE "lo-hi ...": a white run starts in row 320 within each range.
has_runs() {
  local runs range
  runs=$(white_runs_in_row "$1" 320)
  echo "row 320 of $(basename "$1"): $runs"
  for range in $2; do
    echo "$runs" | tr ' ' '\n' | awk -v lo="${range%-*}" -v hi="${range#*-}" \
      '$1 != "" && $1 >= lo && $1 <= hi { found = 1 } END { exit !found }' || return 1
  done
}
same_picture() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" = 0 ]; }

gui_write_map 16 16
gui_write_config "count=0"
gui_start_viewer -geometry 360x640
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
render_settled_screenshot "$GUI_DIR/start.png"
size=$(identify -format '%w %h' "$GUI_DIR/start.png")
[ "$size" = "360 640" ] || gui_fail "-geometry 360x640 gave a window of $size"
has_runs "$GUI_DIR/start.png" "11-17 87-93 278-284" || gui_fail "the field does not span the tall window's width"

for key in Home 0; do
  gui_key Left Left Up minus
  render_settled_screenshot "$GUI_DIR/moved.png"
  same_picture "$GUI_DIR/moved.png" "$GUI_DIR/start.png" && gui_fail "the arrows and - did not move the view"
  gui_key "$key"
  render_settled_screenshot "$GUI_DIR/back.png"
  same_picture "$GUI_DIR/back.png" "$GUI_DIR/start.png" || gui_fail "key $key did not bring the fitted view back"
done

# The view was fitted again, so the reload to another field size fits it.
gui_write_map 200 16
seen=""
for _ in $(seq 1 30); do
  sleep 0.3
  gui_screenshot "$GUI_DIR/big.png"
  if has_runs "$GUI_DIR/big.png" "11-17 84-90 270-276" >/dev/null; then seen=1; break; fi
done
has_runs "$GUI_DIR/big.png" "11-17 84-90 270-276"
[ -n "$seen" ] || gui_fail "after the reload to a field of 200 the field is not whole in view"
gui_key q
gui_wait_exit 20
echo "PASS"
