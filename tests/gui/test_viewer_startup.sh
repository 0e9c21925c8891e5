#!/usr/bin/env bash
# Start-up of the real viewer under Xvfb: banner, "info" lines, the title
# sequence, a screenshot of the window, closing it, and refusing a missing
# or corrupt map.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
gui_begin
gui_write_map 16 16
gui_write_config "count=200"

# --- info, titles, screenshot, close ---------------------------------------
gui_start_viewer info map.ksm
gui_wait_title "^${GUI_TITLE_RE}    <<<    1-st sec    >>>\$" 30 >/dev/null
first=$(gui_wait_title "$GUI_FPS_RE" 30)
echo "title: $first"
# The title is rewritten about once a second: a later one must follow.
second=""
for _ in $(seq 1 60); do
  t=$(gui_title)
  [[ "$t" =~ $GUI_FPS_RE ]] && [ "$t" != "$first" ] && { second="$t"; break; }
  sleep 0.1
done
[ -n "$second" ] || gui_fail "the FPS title was not rewritten"

out="$GUI_DIR/viewer.out"
line1=$(sed -n 1p "$out")
[ "$line1" = "Kestrion Physics v 1.01d" ] || gui_fail "banner line 1 is '$line1'"
[ -n "$(sed -n 2p "$out")" ] || gui_fail "no notice line"
[ -z "$(sed -n 3p "$out")" ] || gui_fail "no blank line after the notice"
[ "$(sed -n 4p "$out")" = "OpenGL Info:" ] || gui_fail "info heading missing"
sed -n 5p "$out" | grep -q '^- Vendor:     .' || gui_fail "vendor line"
sed -n 6p "$out" | grep -q '^- Renderer:   .' || gui_fail "renderer line"
sed -n 7p "$out" | grep -q '^- Version:    .' || gui_fail "version line"
sed -n 8p "$out" | grep -q '^- Extensions: GL_' || gui_fail "extensions line"

shot="$GUI_DIR/shot.png"
gui_screenshot "$shot"
size=$(identify -format '%wx%h' "$shot")
[ "$size" = "800x600" ] || gui_fail "window is $size, not 800x600"

gui_close_window
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" = 0 ] || gui_fail "closing the window gave exit status $status"

# --- "Info" is not "info": it names a map ------------------------------------
gui_start_viewer Info
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" != 0 ] || gui_fail "a map named Info that does not exist gave exit status 0"
grep -q "OpenGL Info" "$GUI_DIR/viewer.out" && gui_fail "'Info' printed the information lines"
grep -q "\"$GUI_DIR/Info\": the file cannot be opened" "$GUI_DIR/viewer.out" ||
  gui_fail "the message does not name the absolute path of Info"

# --- a missing or corrupt map stops with a message and a non-zero status ----
rm -f "$GUI_DIR/map.ksm"
gui_start_viewer
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" != 0 ] || gui_fail "a missing map gave exit status 0"
grep -q 'map.ksm' "$GUI_DIR/viewer.out" || gui_fail "the message does not name map.ksm"

gui_write_map 16 16
head -c 40 "$GUI_DIR/map.ksm" >"$GUI_DIR/cut.ksm" && mv "$GUI_DIR/cut.ksm" "$GUI_DIR/map.ksm"
gui_start_viewer
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" != 0 ] || gui_fail "a truncated map gave exit status 0"
grep -q 'ERROR.*map.ksm.*: .' "$GUI_DIR/viewer.out" || gui_fail "no clear message for a truncated map"

printf 'KSMP\x00\x00\x04\x00\x00\x00\xff\xff\xff\xff\xff' >"$GUI_DIR/map.ksm"
gui_start_viewer
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" != 0 ] || gui_fail "a map with field_size 0 gave exit status 0"
grep -q 'field_size' "$GUI_DIR/viewer.out" || gui_fail "no message for field_size 0"
echo "PASS"
