#!/usr/bin/env bash
# Live reload: the viewer shows map A (a box on the left), the same path is
# recompiled to map B (a sphere on the right) and B's wireframe appears; a
# truncated file written over it then leaves B on screen, with one line
# naming the file and the fault, and so does a named pipe in its place.
#
# Field 16, start-up camera: a point (x, y, z) lands in column
# 400 + 394.63 (x - 8) / (z + 11.43) and row 300 - 394.63 (y - 8) / (z + 11.43).
# Box A spans x 2..6, sphere B x 10..14, both y 6..10 and z 6..10: their
# front faces cover columns 264..355 and 445..536, rows 255..345.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
tools="$GUI_BUILD_DIR/tools"
"$tools/ksm_make_3ds" box "$GUI_DIR/box.3ds" >/dev/null || gui_fail "no box mesh"
"$tools/ksm_make_3ds" sphere 2 "$GUI_DIR/sphere.3ds" >/dev/null || gui_fail "no sphere mesh"
write_ksd() {  # write_ksd FILE MESH POS_X
  cat >"$1" <<KSD
[main]
field_size = 16
grid_size = 16
objs_num = 1
[obj_0]
file = $2
scale = 4
pos_x = $3
pos_y = 6
pos_z = 6
rt_angle = 0
rt_x = 0
rt_y = 1
rt_z = 0
geom1 = 2
geom2 = 1
KSD
}
write_ksd "$GUI_DIR/a.ksd" box.3ds 2
write_ksd "$GUI_DIR/b.ksd" sphere.3ds 10
compile() { (cd "$GUI_DIR" && "$GUI_BUILD_DIR/compiler/ksm_compiler" "$1" map.ksm . >/dev/null) ||
              gui_fail "could not compile $1"; }
compile a.ksd
gui_write_config "count=0"

# White pixels inside the front faces' middles, clear of the field box's
# far edges (columns 289 and 511).
white_a() { ppm_scan "$1" 'if (x >= 296 && x <= 350 && y >= 260 && y <= 340 && r == 255 && g == 255 && b == 255) n++' 'print n + 0'; }
white_b() { ppm_scan "$1" 'if (x >= 450 && x <= 505 && y >= 260 && y <= 340 && r == 255 && g == 255 && b == 255) n++' 'print n + 0'; }
shot="$GUI_DIR/shot.png"

gui_start_viewer
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
render_settled_screenshot "$shot"
a=$(white_a "$shot"); b=$(white_b "$shot")
echo "map A: box $a, sphere $b"
[ "$a" -ge 40 ] && [ "$b" -le 2 ] || gui_fail "map A is not on screen (box $a, sphere $b)"

compile b.ksd
seen=""
for _ in $(seq 1 30); do
  sleep 0.2
  gui_screenshot "$shot"
  a=$(white_a "$shot"); b=$(white_b "$shot")
  if [ "$a" -le 2 ] && [ "$b" -ge 40 ]; then seen=1; break; fi
done
echo "map B: box $a, sphere $b"
[ -n "$seen" ] || gui_fail "the recompiled map B did not replace A (box $a, sphere $b)"
grep -q "Reloaded the compiled map \"$GUI_DIR/map.ksm\"" "$GUI_DIR/viewer.out" || gui_fail "no reload note"

# The "was not reloaded" lines printed since line $before, once one is there.
wait_for_fault() {
  fault=""
  for _ in $(seq 1 30); do
    sleep 0.2
    fault=$(tail -n +"$((before + 1))" "$GUI_DIR/viewer.out" | grep 'was not reloaded')
    [ -n "$fault" ] && break
  done
  echo "$fault"
}

before=$(wc -l <"$GUI_DIR/viewer.out")
head -c 100 "$GUI_DIR/map.ksm" >"$GUI_DIR/cut" && cat "$GUI_DIR/cut" >"$GUI_DIR/map.ksm"
wait_for_fault
[ "$(echo "$fault" | wc -l)" = 1 ] || gui_fail "expected one fault line, got: $fault"
echo "$fault" | grep -Eq "\"$GUI_DIR/map.ksm\" was not reloaded: (the file ends too early|a count needs more bytes than the file holds)" ||
  gui_fail "the fault line does not name the file and the fault: $fault"
kill -0 "$VIEWER_PID" 2>/dev/null || gui_fail "the viewer ended on a truncated map"
render_settled_screenshot "$shot"
a=$(white_a "$shot"); b=$(white_b "$shot")
[ "$a" -le 2 ] && [ "$b" -ge 40 ] || gui_fail "map B is gone after a truncated file (box $a, sphere $b)"

# A named pipe put in the map's place would block a plain open: it is
# named in one line, and frames go on with map B.
before=$(wc -l <"$GUI_DIR/viewer.out")
rm -f "$GUI_DIR/map.ksm" && mkfifo "$GUI_DIR/map.ksm" || gui_fail "no named pipe"
wait_for_fault
echo "$fault" | grep -q "\"$GUI_DIR/map.ksm\" was not reloaded: it is a named pipe, not a compiled map" ||
  gui_fail "no line saying the map is a named pipe: $fault"
render_settled_screenshot "$shot"
[ "$(white_b "$shot")" -ge 40 ] || gui_fail "map B is gone, or frames stopped, after a named pipe"
[ "$(tail -n +"$((before + 1))" "$GUI_DIR/viewer.out" | grep -c 'was not reloaded')" = 1 ] ||
  gui_fail "the named pipe was reported more than once"

# Key u with watching off: the file is only read when asked.
gui_close_window
gui_wait_exit 20
rm -f "$GUI_DIR/map.ksm"
cp "$GUI_DIR/cut" "$GUI_DIR/map.ksm"
compile a.ksd
gui_start_viewer --no-watch
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
compile b.ksd
render_settled_screenshot "$shot"
sleep 0.5
gui_screenshot "$shot"
[ "$(white_b "$shot")" -le 2 ] || gui_fail "--no-watch still reloaded the map"
gui_key u
render_settled_screenshot "$shot"
[ "$(white_b "$shot")" -ge 40 ] || gui_fail "key u did not reload the map"
echo "PASS"
