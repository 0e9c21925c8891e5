#!/usr/bin/env bash
# Checks an installed ksm tree, as `cmake --install` or the Debian package
# lays it out:
#   - exactly the expected files, and programs that find all their libraries;
#   - the installed compiler remakes the installed demo map byte for byte;
#   - the installed viewer runs the demo map;
#   - --version names the given version;
#   - every manual page formats without a warning.
#
#   scripts/check_installed.sh ROOT VERSION     (ROOT: the tree's prefix, e.g. /usr)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="${1:?usage: check_installed.sh ROOT VERSION}"
version="${2:?usage: check_installed.sh ROOT VERSION}"
root="$(cd "$root" && pwd)"
demo="$root/share/ksm/demo"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/ksm_check.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
say() { echo "check: $*"; }

expected="bin/ksm_compiler
bin/ksm_field_viewer
bin/ksm_make_3ds
bin/ksm_viewer
bin/ksm_viewer_headless
share/doc/ksm/README.md
share/doc/ksm/changelog.gz
share/doc/ksm/copyright
share/ksm/demo/config.ini
share/ksm/demo/demo.ksd
share/ksm/demo/demo.ksm
share/ksm/demo/src/pillar.3ds
share/ksm/demo/src/ramp.3ds
share/ksm/demo/src/slab.3ds
share/ksm/demo/src/sphere.3ds
share/man/man1/ksm_compiler.1.gz
share/man/man1/ksm_field_viewer.1.gz
share/man/man1/ksm_make_3ds.1.gz
share/man/man1/ksm_viewer.1.gz
share/man/man1/ksm_viewer_headless.1.gz
share/man/man5/ksd.5.gz
include/ksm/ksm.h
lib/cmake/ksm/ksmConfig.cmake
lib/cmake/ksm/ksmConfigVersion.cmake
lib/cmake/ksm/ksmTargets-relwithdebinfo.cmake
lib/cmake/ksm/ksmTargets.cmake
lib/libksm.so
lib/libksm.so.1
lib/libksm.so.$version
lib/pkgconfig/ksm.pc
share/doc/libksm-dev/changelog.gz
share/doc/libksm-dev/copyright
share/doc/libksm-dev/examples/CMakeLists.txt
share/doc/libksm-dev/examples/ksm_demo.c
share/doc/libksm1/changelog.gz
share/doc/libksm1/copyright
share/man/man3/ksm.3.gz"
# The Python module, where the build made it.
module="$(cd "$root" && ls lib/python3/dist-packages/ksm.*.so 2>/dev/null || true)"
if [ -n "$module" ]; then
  expected="$expected
$module
share/doc/python3-ksm/changelog.gz
share/doc/python3-ksm/copyright
share/doc/python3-ksm/examples/settle.py
share/doc/python3-ksm/examples/sweep_dask.py"
fi
expected="$(LC_ALL=C sort <<<"$expected")"
found="$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)"
if [ "$found" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$found") >&2 || true
  fail "the installed files differ from the expected list (< expected, > installed)"
fi
say "the expected $(echo "$found" | wc -l) files"

for p in ksm_compiler ksm_viewer ksm_viewer_headless ksm_field_viewer ksm_make_3ds; do
  [ -x "$root/bin/$p" ] || fail "$p is not executable"
  if ldd "$root/bin/$p" | grep -q "not found"; then
    ldd "$root/bin/$p" >&2
    fail "$p misses a library"
  fi
done
if ldd "$root/lib/libksm.so.1" | grep -q "not found"; then
  ldd "$root/lib/libksm.so.1" >&2
  fail "libksm misses a library"
fi
say "programs and libksm find their libraries"

"$root/bin/ksm_compiler" "$demo/demo.ksd" "$scratch/demo.ksm" "$demo/src" >"$scratch/compile.out" 2>&1 ||
  { cat "$scratch/compile.out" >&2; fail "the installed compiler failed on the installed demo"; }
cmp "$scratch/demo.ksm" "$demo/demo.ksm" || fail "the installed compiler gives other bytes than the shipped demo.ksm"
say "installed compiler remakes demo.ksm ($(stat -c %s "$demo/demo.ksm") bytes)"

for pair in "ksm_compiler:Kestrion Map Compiler v 1.04c" "ksm_viewer:Kestrion Physics v 1.01d" \
            "ksm_viewer_headless:Kestrion Physics v 1.01d" \
            "ksm_field_viewer:Kestrion Physics v 1.01b" "ksm_make_3ds:ksm_make_3ds"; do
  out="$(DISPLAY= "$root/bin/${pair%%:*}" --version)"
  [ "$out" = "${pair#*:} (ksm $version)" ] || fail "${pair%%:*} --version printed '$out'"
  say "--version: $out"
done

# The viewer on the shipped demo: headless where the viewer offers it, else
# in a window under a private Xvfb.
viewer_help="$(DISPLAY= "$root/bin/ksm_viewer" --help 2>&1 || true)"
if grep -q -- "--headless" <<<"$viewer_help"; then
  out="$(env -u DISPLAY "$root/bin/ksm_viewer" --headless --frames 200 --seed 1 \
         "$demo/demo.ksm" --config "$demo/config.ini" 2>&1)" ||
    { echo "$out" >&2; fail "the installed viewer failed a headless run of the demo"; }
  sum="$(grep -E '^checksum: [0-9a-fA-F]+$' <<<"$out")" || { echo "$out" >&2; fail "no checksum line"; }
  say "installed viewer runs the demo headless: $sum"
else
  (
    export KSM_SOURCE_DIR="$(cd "$here/.." && pwd)"
    source "$here/gui_lib.sh"
    VIEWER_BIN="$root/bin/ksm_viewer"
    gui_begin
    gui_start_viewer "$demo/demo.ksm" --config "$demo/config.ini"
    title=$(gui_wait_title "$GUI_FPS_RE" 60)
    [[ "$title" == *"Count: 4000    >>>" ]] || gui_fail "the viewer's title does not count the demo's 4000 balls: $title"
    echo "check: installed viewer runs the demo: $title"
  )
fi

# The Python module from the tree: it finds libksm beside it, and runs the
# demo to the viewer's checksum.
if [ -n "$module" ] && [ -x /usr/bin/python3 ]; then
  py="$(PYTHONPATH="$root/lib/python3/dist-packages" /usr/bin/python3 -c "
import ksm
sim = ksm.Simulation(ksm.Map('$demo/demo.ksm'), **ksm.read_settings('$demo/config.ini'), seed=1)
sim.step(200)
print('%016x' % sim.checksum())")" || fail "the installed Python module does not run"
  [ -z "${sum:-}" ] || [ "checksum: $py" = "$sum" ] || fail "the Python module's checksum $py is not the viewer's $sum"
  say "installed Python module runs the demo: checksum $py"
fi

for page in "$root"/share/man/man*/*; do
  warnings="$(man --warnings -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "man warns about $page: $warnings"
  text="$(MANWIDTH=80 man -l "$page" 2>/dev/null)"
  name="$(basename "$page" .gz)"
  grep -q "^NAME" <<<"$text" || fail "$page has no NAME section"
  grep -q "${name%.*}" <<<"$text" || fail "$page does not name ${name%.*}"
done
say "manual pages format without warnings"
echo PASS
