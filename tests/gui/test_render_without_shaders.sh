#!/usr/bin/env bash
# A driver without shader objects: Mesa is told to hide GL_ARB_shader_objects.
# GLX still hands out addresses for its functions, so only the advertisement
# check of the entry-point table keeps the viewer from calling them. The
# viewer must run on and draw each ball as a 2-pixel square point; the field
# view prints its three empty logs.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/render_pixels.sh"
gui_begin
gui_write_map 16 16
gui_write_config "count=1" "g=0" "cl=0"
export MESA_EXTENSION_OVERRIDE="-GL_ARB_shader_objects"

gui_start_viewer info
gui_wait_title "$GUI_FPS_RE" 30 >/dev/null
grep '^- Extensions:' "$GUI_DIR/viewer.out" | tr ' ' '\n' | grep -qx GL_ARB_shader_objects &&
  gui_fail "this driver does not let GL_ARB_shader_objects be hidden"
# A screenshot can catch the window while a swap is still copying rows (seen
# once as a 2 x 1 point), so a shot that is not a 2 x 2 point is taken again.
shot="$GUI_DIR/points.png"
reps=""
for try in 1 2 3; do
  render_settled_screenshot "$shot"
  rep=$(sprite_report "$shot")
  echo "ball: $rep"
  reps="$reps [$rep]"
  read -r n x0 x1 y0 y1 _ <<<"$rep"
  [ "$n" = 4 ] && [ $((x1 - x0)) = 1 ] && [ $((y1 - y0)) = 1 ] && break
  [ "$try" = 3 ] && gui_fail "the ball is not a 2 x 2 point without shaders:$reps"
done
grep -q 'ERROR' "$GUI_DIR/viewer.out" && gui_fail "the viewer reported an error"
gui_close_window
gui_wait_exit 20
[ "$GUI_EXIT_STATUS" = 0 ] || gui_fail "exit status $GUI_EXIT_STATUS"

# The field view prints each failed object's log as "LOG:\n%s\n": the two
# shaders and the program, all with empty logs.
VIEWER_BIN="$GUI_BUILD_DIR/viewer/app/ksm_field_viewer"
gui_start_viewer
gui_wait_title "1\.01b    <<<    (1-st sec|FPS)" 30 >/dev/null
logs=$(grep -c '^LOG:$' "$GUI_DIR/viewer.out")
[ "$logs" = 3 ] || gui_fail "the field view printed $logs logs, not 3"
echo "PASS"
