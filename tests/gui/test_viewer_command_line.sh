#!/usr/bin/env bash
# The viewer's command line: --help, --version and an unknown option need no
# window; a map and a settings file named by path from another directory; a
# directory given as the map.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
gui_begin

# --- --help, --version, an unknown option (no display needed) ---------------
out=$(DISPLAY= "$VIEWER_BIN" --help 2>&1); status=$?
[ "$status" = 0 ] || gui_fail "--help gave exit status $status"
for want in "Usage: ksm_viewer [info] [MAP] [--config FILE]" "wheel" "Space" "F1" "PNG"; do
  [[ "$out" == *"$want"* ]] || gui_fail "--help does not mention '$want'"
done
out=$(DISPLAY= "$VIEWER_BIN" --version 2>&1); status=$?
[ "$status" = 0 ] && [[ "$out" =~ ^"Kestrion Physics v 1.01d (ksm "[0-9]+\.[0-9]+\.[0-9]+")"$ ]] ||
  gui_fail "--version: $status '$out'"
DISPLAY= "$VIEWER_BIN" --no-such-option >"$GUI_DIR/o.txt" 2>"$GUI_DIR/e.txt"; status=$?
[ "$status" = 2 ] || gui_fail "an unknown option gave exit status $status"
[ ! -s "$GUI_DIR/o.txt" ] || gui_fail "an unknown option wrote to stdout"
grep -q "^ksm_viewer: unknown option '--no-such-option'" "$GUI_DIR/e.txt" || gui_fail "no message"
grep -q "^Usage: " "$GUI_DIR/e.txt" || gui_fail "an unknown option did not print the usage"

# --- a map and settings by path, from another directory ---------------------
mkdir -p "$GUI_DIR/maps" "$GUI_DIR/elsewhere"
"$GUI_BUILD_DIR/tools/ksm_make_test_map" "$GUI_DIR/maps/small.ksm" 16 16 >/dev/null
printf '[balls]\ncount=123\n' >"$GUI_DIR/maps/few.ini"
gui_start_viewer_in "$GUI_DIR/elsewhere" ../maps/small.ksm --config ../maps/few.ini
gui_wait_title "Count: 123    >>>\$" 30 >/dev/null
gui_key Escape
gui_wait_exit 20
[ "$GUI_EXIT_STATUS" = 0 ] || gui_fail "Escape gave exit status $GUI_EXIT_STATUS"

# --- a directory as the map ---------------------------------------------------
gui_start_viewer_in "$GUI_DIR/elsewhere" ../maps
gui_wait_exit 20
[ "$GUI_EXIT_STATUS" = 1 ] || gui_fail "a directory as the map gave exit status $GUI_EXIT_STATUS"
grep -q "\"$GUI_DIR/maps\": it is a directory" "$GUI_DIR/viewer.out" ||
  gui_fail "the message does not say that the absolute path is a directory"
echo "PASS"
