#!/usr/bin/env bash
# The simulation inside the real viewer under Xvfb: the default 10000 balls
# are counted in the title with a physics time, a negative count runs with
# no balls, and a count that cannot be allocated stops with a message and a
# non-zero status.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/gui_lib.sh"
gui_begin
gui_write_map 16 16

# --- defaults: no config.ini -------------------------------------------------
rm -f "$GUI_DIR/config.ini"
gui_start_viewer
title=$(gui_wait_title "$GUI_FPS_RE" 60)
echo "title: $title"
[[ "$title" =~ Count:\ 10000\  ]] || gui_fail "the title does not count 10000 balls"
# 10000 balls in a field of 16 take a measurable time per frame.
phys_seen=0
for _ in $(seq 1 5); do
  phys=$(gui_title | sed -n 's/.*Phys: \([0-9.]*\).*/\1/p')
  [ -n "$phys" ] && awk -v p="$phys" 'BEGIN { exit !(p > 0) }' && { phys_seen=1; break; }
  sleep 1.1
done
[ "$phys_seen" = 1 ] || gui_fail "the physics time stays 0.000"
gui_close_window
gui_wait_exit 20; status=$GUI_EXIT_STATUS
[ "$status" = 0 ] || gui_fail "closing the window gave exit status $status"

# --- a negative count gives no balls -------------------------------------------
gui_write_config "count=-5"
gui_start_viewer
title=$(gui_wait_title "$GUI_FPS_RE" 30)
[[ "$title" =~ Count:\ 0\  ]] || gui_fail "a negative count gave '$title'"
gui_close_window
gui_wait_exit 20

# --- a count that cannot be allocated -------------------------------------------
gui_write_config "count=2000000000"
gui_start_viewer
gui_wait_exit 30; status=$GUI_EXIT_STATUS
[ "$status" != 0 ] || gui_fail "an unallocatable count gave exit status 0"
grep -q 'ERROR.*simulation: .' "$GUI_DIR/viewer.out" || gui_fail "no clear message for an unallocatable count"
echo "PASS"
