#!/usr/bin/env bash
# Shared harness of the window tests (and of the demo without a display):
# a private Xvfb display, the real ksm_viewer in a scratch directory, window
# titles, screenshots and mouse drags. Everything started here is ended by
# PID when the calling script exits.
#
# Use:   source scripts/gui_lib.sh
#        gui_begin                       # scratch dir $GUI_DIR, display $DISPLAY
#        gui_write_map [field] [grid]    # map.ksm in $GUI_DIR
#        gui_start_viewer [args...]      # $VIEWER_PID, output in $GUI_DIR/viewer.out
#        gui_start_viewer_in DIR [args...]  # the same, run in DIR
#        gui_wait_title REGEX [secs]     # prints the matching title
#        gui_screenshot FILE.png
#        gui_key KEY...                  # keys to the viewer's window (xdotool names)
#        gui_fail "message"              # exits 1 after clean-up

GUI_BUILD_DIR="${KSM_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
GUI_SOURCE_DIR="${KSM_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
VIEWER_BIN="$GUI_BUILD_DIR/viewer/app/ksm_viewer"
GUI_XVFB_PID=""
VIEWER_PID=""
GUI_DIR=""
GUI_KEEP_DIR="${GUI_KEEP_DIR:-0}"

# Title of the product, as the viewer prints it.
GUI_TITLE_RE='Kestrion Physics v 1\.01d'
GUI_FPS_RE="^${GUI_TITLE_RE}    <<<    FPS: [0-9]+    Render: [0-9]+\.[0-9]{3}    Phys: [0-9]+\.[0-9]{3}    Count: [0-9]+    >>>\$"

gui_log() { echo "[gui] $*" >&2; }

gui_end() {
  # Runs as the EXIT trap, also of scripts under `set -e`: nothing here may fail.
  local status=$?
  set +e
  if [ -n "$VIEWER_PID" ] && kill -0 "$VIEWER_PID" 2>/dev/null; then
    kill "$VIEWER_PID" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$VIEWER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$VIEWER_PID" 2>/dev/null
  fi
  if [ -n "$GUI_XVFB_PID" ] && kill -0 "$GUI_XVFB_PID" 2>/dev/null; then
    kill "$GUI_XVFB_PID" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$GUI_XVFB_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$GUI_XVFB_PID" 2>/dev/null
  fi
  VIEWER_PID=""
  GUI_XVFB_PID=""
  if [ -n "$GUI_DIR" ] && [ "$GUI_KEEP_DIR" = 0 ]; then
    rm -rf "$GUI_DIR"
  fi
  return $status
}

gui_fail() {
  echo "FAIL: $*" >&2
  if [ -n "$GUI_DIR" ] && [ -f "$GUI_DIR/viewer.out" ]; then
    echo "--- viewer output ---" >&2
    head -c 4000 "$GUI_DIR/viewer.out" >&2
  fi
  exit 1
}

# Starts Xvfb on the first free display number from 100 + (PID mod 300).
gui_start_xvfb() {
  local n=$((100 + $$ % 300)) tries=0
  while [ $tries -lt 50 ]; do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$GUI_DIR/xvfb.log" 2>&1 &
      GUI_XVFB_PID=$!
      for _ in $(seq 1 100); do
        if xdpyinfo -display ":$n" >/dev/null 2>&1; then
          export DISPLAY=":$n"
          return 0
        fi
        kill -0 "$GUI_XVFB_PID" 2>/dev/null || break
        sleep 0.1
      done
      kill "$GUI_XVFB_PID" 2>/dev/null
      GUI_XVFB_PID=""
    fi
    n=$((n + 1))
    tries=$((tries + 1))
  done
  gui_fail "could not start Xvfb"
}

gui_begin() {
  trap gui_end EXIT
  trap 'exit 130' INT TERM
  command -v Xvfb >/dev/null || gui_fail "Xvfb is not installed (run scripts/setup.sh)"
  [ -x "$VIEWER_BIN" ] || gui_fail "no viewer at $VIEWER_BIN"
  GUI_DIR="$(mktemp -d "${TMPDIR:-/tmp}/ksm_gui.XXXXXX")"
  gui_start_xvfb
}

gui_write_map() {
  "$GUI_BUILD_DIR/tools/ksm_make_test_map" "$GUI_DIR/map.ksm" "${1:-16}" "${2:-16}" >/dev/null ||
    gui_fail "could not write a test map"
}

gui_write_config() {  # gui_write_config "count=100" "g=0.01" ...
  { echo "[balls]"; for kv in "$@"; do echo "$kv"; done; } >"$GUI_DIR/config.ini"
}

# Under AddressSanitizer, Mesa's software driver is preloaded so that it is
# never unloaded before the leak check: its own leaks then show with its name
# and the suppression file (tests/lsan.supp) can match them.
gui_viewer_env() {
  if ldd "$VIEWER_BIN" 2>/dev/null | grep -q libasan; then
    local dri
    dri=$(ls /usr/lib/*/dri/swrast_dri.so 2>/dev/null | head -n 1)
    [ -n "$dri" ] && echo "LD_PRELOAD=$dri ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:verify_asan_link_order=0"
  fi
}

gui_start_viewer() {
  gui_start_viewer_in "$GUI_DIR" "$@"
}

# The same with another working directory.
gui_start_viewer_in() {  # gui_start_viewer_in DIR [args...]
  local env_vars dir="$1"
  shift
  env_vars=$(gui_viewer_env)
  (cd "$dir" && exec env $env_vars "$VIEWER_BIN" "$@" >"$GUI_DIR/viewer.out" 2>&1) &
  VIEWER_PID=$!
}

# The window of the viewer started last (waits until it is mapped).
gui_window_id() {
  local id
  for _ in $(seq 1 100); do
    id=$(xdotool search --pid "$VIEWER_PID" --name "Kestrion" 2>/dev/null | head -n 1)
    if [ -n "$id" ]; then
      # Without a window manager freeglut leaves the window at (-1, -1),
      # one pixel off screen: move it fully onto the screen once.
      if [ ! -e "$GUI_DIR/placed.$id" ]; then
        xdotool windowmove "$id" 0 0 2>/dev/null
        touch "$GUI_DIR/placed.$id"
        sleep 0.2
      fi
      echo "$id"
      return 0
    fi
    kill -0 "$VIEWER_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

gui_title() {
  local id
  id=$(gui_window_id) || return 1
  xdotool getwindowname "$id" 2>/dev/null
}

gui_wait_title() {  # gui_wait_title REGEX [seconds]
  local re="$1" limit="${2:-30}" t start
  start=$(date +%s)
  while [ $(($(date +%s) - start)) -lt "$limit" ]; do
    t=$(gui_title) || true
    if [ -n "$t" ] && [[ "$t" =~ $re ]]; then
      echo "$t"
      return 0
    fi
    kill -0 "$VIEWER_PID" 2>/dev/null || gui_fail "viewer ended while waiting for title /$re/"
    sleep 0.05
  done
  gui_fail "no title matching /$re/ within ${limit}s (last: '$t')"
}

gui_wait_exit() {  # gui_wait_exit [seconds]; sets GUI_EXIT_STATUS (call it directly, not in $(...))
  local limit="${1:-20}" start status
  start=$(date +%s)
  while kill -0 "$VIEWER_PID" 2>/dev/null; do
    [ $(($(date +%s) - start)) -lt "$limit" ] || gui_fail "viewer did not exit within ${limit}s"
    sleep 0.1
  done
  wait "$VIEWER_PID"
  status=$?
  VIEWER_PID=""
  GUI_EXIT_STATUS=$status
}

gui_screenshot() {  # gui_screenshot FILE.png: the viewer's window contents
  local id
  id=$(gui_window_id) || gui_fail "no window to take a screenshot of"
  # The whole screen cut to the window's rectangle (xwd of the window alone
  # comes out one pixel short on each side here).
  local info x y w h
  info=$(xwininfo -id "$id") || gui_fail "no geometry for the window"
  x=$(echo "$info" | awk '/Absolute upper-left X/ {print $4}')
  y=$(echo "$info" | awk '/Absolute upper-left Y/ {print $4}')
  w=$(echo "$info" | awk '/Width:/ {print $2}')
  h=$(echo "$info" | awk '/Height:/ {print $2}')
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$1" 2>/dev/null || gui_fail "screenshot failed"
}

# Colour of one pixel of a screenshot as "r g b" (0..255).
gui_pixel() {  # gui_pixel FILE.png X Y
  convert "$1" -format "%[fx:int(255*u.p{$2,$3}.r)] %[fx:int(255*u.p{$2,$3}.g)] %[fx:int(255*u.p{$2,$3}.b)]" info: 2>/dev/null
}

# Number of pixels of a screenshot that are not black.
gui_lit_pixels() {  # gui_lit_pixels FILE.png
  convert "$1" -colorspace gray -threshold 1% -format "%[fx:int(mean*w*h+0.5)]" info: 2>/dev/null
}

gui_drag() {  # gui_drag BUTTON X0 Y0 X1 Y1  (window coordinates)
  local id
  id=$(gui_window_id) || gui_fail "no window to drag in"
  xdotool mousemove --window "$id" "$2" "$3" mousedown "$1" sleep 0.1 \
    mousemove --window "$id" "$4" "$5" sleep 0.1 mouseup "$1"
}

# Asks the window to close as a window manager would (WM_DELETE_WINDOW).
gui_close_window() {
  local id
  id=$(gui_window_id) || gui_fail "no window to close"
  "$GUI_BUILD_DIR/tests/ksm_close_window" "$id" || gui_fail "could not send WM_DELETE_WINDOW"
}

# Sends keys to the viewer's window, by xdotool's names ("q", "space",
# "Escape", "F1", "Left", "plus", ...), after giving it the input focus.
gui_key() {  # gui_key KEY...
  local id
  id=$(gui_window_id) || gui_fail "no window to send keys to"
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  xdotool key --delay 50 "$@" || gui_fail "could not send keys $*"
}

# Resizes the viewer's window and waits until X reports the new size.
gui_resize() {  # gui_resize WIDTH HEIGHT
  local id
  id=$(gui_window_id) || gui_fail "no window to resize"
  xdotool windowsize "$id" "$1" "$2" || gui_fail "could not resize the window"
  for _ in $(seq 1 50); do
    xwininfo -id "$id" | grep -q "Width: $1\$" && xwininfo -id "$id" | grep -q "Height: $2\$" && return 0
    sleep 0.1
  done
  gui_fail "the window did not become $1 x $2"
}
