#!/usr/bin/env bash
# Headless runs of the real viewer without any display: repeatable with a
# seed, timings and checksum printed, the point cloud read back by an
# independent reader (Debian's python3-meshio), errors with status 1.
set -u
build="${KSM_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}"
viewer="$build/viewer/app/ksm_viewer"
dir="$(mktemp -d "${TMPDIR:-/tmp}/ksm_headless.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset DISPLAY

"$build/tools/ksm_make_test_map" "$dir/m.ksm" 16 16 >/dev/null || fail "no test map"
printf '[balls]\ncount=2000\n' >"$dir/c.ini"
run() { (cd "$dir" && "$viewer" --headless --frames 60 m.ksm --config c.ini "$@"); }

out1=$(run --seed 1 --dump cloud.ply) || fail "headless run failed: $out1"
out2=$(run --seed 1) || fail "second run failed"
out3=$(run --seed 2) || fail "third run failed"
echo "$out1"
sum() { echo "$1" | grep -E '^checksum: [0-9a-f]{16}$'; }
[ -n "$(sum "$out1")" ] || fail "no checksum line"
[ "$(sum "$out1")" = "$(sum "$out2")" ] || fail "same seed, different checksums"
[ "$(sum "$out1")" != "$(sum "$out3")" ] || fail "another seed gave the same checksum"
echo "$out1" | grep -Eq '^Physics per frame \(ms\): min [0-9.]+  median [0-9.]+  max [0-9.]+$' ||
  fail "no timing line"

/usr/bin/python3 - "$dir/cloud.ply" <<'PY' || fail "the point cloud does not read back"
import sys, meshio
m = meshio.read(sys.argv[1])
assert m.points.shape == (2000, 3), m.points.shape
assert (m.points >= 1).all() and (m.points <= 16).all()
assert set(m.point_data) == {"red", "green", "blue"}, list(m.point_data)
PY

err=$(cd "$dir" && "$viewer" --headless --frames 5 missing.ksm 2>&1)
status=$?
[ "$status" = 1 ] || fail "a missing map ends with status $status"
echo "$err" | grep -q "ERROR! Cannot use the compiled map \"$dir/missing.ksm\"" || fail "message: $err"

# Hostile paths: each is refused before the run (so quickly, and never by
# freezing) with status 1 and a message saying what is wrong, and the map
# and the settings stay as they were.
mkfifo "$dir/fifo" && ln -s m.ksm "$dir/link.ksm" && ln -s /dev/zero "$dir/zero.ksm" || fail "no special files"
before=$(cat "$dir/m.ksm" "$dir/c.ini" | md5sum)
while IFS='|' read -r args want; do
  # shellcheck disable=SC2086
  out=$(cd "$dir" && timeout 20 "$viewer" --headless --frames 60 --seed 1 $args 2>&1)
  status=$?
  [ "$status" = 1 ] || fail "$args: status $status, not 1: $out"
  echo "$out" | grep -qF "$want" || fail "$args: expected '$want' in: $out"
  echo "$out" | grep -q '^Headless run' && fail "$args: the run started: $out"
done <<CASES
m.ksm --config c.ini --dump m.ksm|Cannot write the point cloud "$dir/m.ksm": it is the compiled map "$dir/m.ksm".
link.ksm --config c.ini --dump m.ksm|it is the compiled map "$dir/link.ksm".
m.ksm --config c.ini --dump link.ksm|it is the compiled map "$dir/m.ksm".
m.ksm --config c.ini --dump c.ini|Cannot write the point cloud "$dir/c.ini": it is the settings file "$dir/c.ini".
m.ksm --config c.ini --dump $dir/no/such/dir/x.ply|its folder "$dir/no/such/dir" does not exist.
m.ksm --config c.ini --dump .|Cannot write the point cloud "$dir": it is a directory.
fifo --config c.ini|Cannot use the compiled map "$dir/fifo": it is a named pipe, not a compiled map.
zero.ksm --config c.ini|Cannot use the compiled map "$dir/zero.ksm": it is a device, not a compiled map.
CASES
[ "$(cat "$dir/m.ksm" "$dir/c.ini" | md5sum)" = "$before" ] || fail "a refused run changed the map or the settings"

# Settings that are no regular file are never read: one note, the defaults.
for config in /dev/zero fifo; do
  out=$(cd "$dir" && timeout 20 "$viewer" --headless --frames 1 m.ksm --config "$config" 2>&1) ||
    fail "--config $config: $out"
  echo "$out" | grep -Eq "^note: .*$config: is a (device|named pipe); the defaults apply$" ||
    fail "--config $config: no note saying what it is: $out"
  echo "$out" | grep -q 'frame of 10000 balls' || fail "--config $config: not the defaults: $out"
done

# A dump that cannot be finished (here the file size limit; on a full disk
# alike) leaves the previous point cloud whole and no temporary file.
cp "$dir/cloud.ply" "$dir/old.ply"
out=$(cd "$dir" && trap '' XFSZ && ulimit -f 8 && "$viewer" --headless --frames 1 m.ksm --config c.ini --dump cloud.ply 2>&1)
[ $? = 1 ] || fail "a dump cut short is not an error: $out"
echo "$out" | grep -q 'ERROR! Cannot write the point cloud' || fail "no message for a dump cut short: $out"
cmp -s "$dir/cloud.ply" "$dir/old.ply" || fail "a dump cut short changed the previous point cloud"
[ -z "$(find "$dir" -name '.cloud.ply.*')" ] || fail "a temporary file was left behind"
echo "PASS"
