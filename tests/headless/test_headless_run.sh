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
err=$(run --dump "$dir/no/such/dir/x.ply" 2>&1)
[ $? = 1 ] || fail "an unwritable point cloud is not an error"
echo "PASS"
