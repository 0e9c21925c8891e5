#!/usr/bin/env bash
# Pictures and movies of headless runs, with no display and no X server: the
# build without a window links no X library; a picture of the demo map is
# not blank and is the same from both builds; drawing leaves the checksum
# alone; the movie reads back in ffprobe with its frame count and size;
# outputs that would replace an input or a file of another kind are refused
# before the run, and nothing is left behind.
set -u
build="${KSM_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}"
viewer="$build/viewer/app/ksm_viewer"
headless="$build/viewer/app/ksm_viewer_headless"
demo="$build/demo/demo.ksm"
dir="$(mktemp -d "${TMPDIR:-/tmp}/ksm_pictures.XXXXXX")"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset DISPLAY WAYLAND_DISPLAY

readelf -d "$headless" | grep NEEDED | grep -Eiq 'libX|libxcb|libGLX|libGL\.so|glut' &&
  fail "ksm_viewer_headless links an X library: $(readelf -d "$headless" | grep NEEDED)"

printf '[balls]\ncount=3000\ng=40\ncl=20\n' >"$dir/c.ini"
cp "$demo" "$dir/demo.ksm"
# Under AddressSanitizer, Mesa's driver is preloaded (as in the window
# tests) so that it stays loaded until the leak check names its own leaks.
viewer_env=()
if ldd "$headless" 2>/dev/null | grep -q libasan; then
  dri=$(ls /usr/lib/*/dri/swrast_dri.so 2>/dev/null | head -n 1)
  [ -n "$dri" ] && viewer_env=("LD_PRELOAD=$dri" "ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:verify_asan_link_order=0")
fi
run() {
  local bin="$1"; shift
  (cd "$dir" && env "${viewer_env[@]}" "$bin" --headless --frames 40 demo.ksm --config c.ini --seed 9 "$@")
}
sum() { echo "$1" | grep -E '^checksum: '; }

plain=$(run "$viewer") || fail "plain run: $plain"
out=$(run "$headless" --image a.png --images . --every 20) || fail "picture run: $out"
echo "$out"
[ "$(sum "$out")" = "$(sum "$plain")" ] || fail "drawing changed the checksum"
echo "$out" | grep -Eq '^Drawing per picture \(ms\): min [0-9.]+  median [0-9.]+  max [0-9.]+$' ||
  fail "no drawing time line"
echo "$out" | grep -q "^Picture: \"$dir/a.png\" (800 x 600)$" || fail "no picture line"
echo "$out" | grep -q "^Pictures: 2 in \"$dir\" (800 x 600)$" || fail "no pictures line"
[ -f "$dir/frame_000020.png" ] && [ -f "$dir/frame_000040.png" ] || fail "numbered pictures missing"
[ "$(compare -metric AE "$dir/a.png" "$dir/frame_000040.png" null: 2>&1)" = 0 ] ||
  fail "the last picture differs from frame 40"
out2=$(run "$viewer" --image b.png) || fail "picture from ksm_viewer: $out2"
cmp -s "$dir/a.png" "$dir/b.png" || fail "the two builds draw different pictures"

# Not blank: many lit pixels, most of them coloured balls, and the white box.
stats=$(convert "$dir/a.png" -depth 8 -compress none ppm:- | awk '
  NR > 3 { for (i = 1; i <= NF; i++) { v[k++] = $i; if (k == 3) { k = 0; n++
    if (v[0] == 255 && v[1] == 255 && v[2] == 255) white++
    else if ((v[0] != v[1] || v[1] != v[2]) && (v[0] > 12 || v[1] > 12 || v[2] > 12)) ball++ } } }
  END { print n, ball + 0, white + 0 }')
echo "pixels, ball pixels, white pixels: $stats"
read -r n ball white <<<"$stats"
[ "$n" = 480000 ] || fail "the picture has $n pixels"
[ "$ball" -gt 20000 ] || fail "only $ball ball pixels"
[ "$white" -gt 500 ] || fail "no wireframe ($white white pixels)"

out=$(run "$headless" --movie m.mp4 --every 4 --size 320x240 --fps 10) || fail "movie run: $out"
[ "$(sum "$out")" = "$(sum "$plain")" ] || fail "the movie changed the checksum"
probe=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,pix_fmt,width,height,nb_read_frames -of csv=p=0 "$dir/m.mp4")
echo "movie: $probe"
[ "$probe" = "h264,320,240,yuv420p,10" ] || fail "the movie reads as $probe"

# Refused before the run, the files untouched; and no temporary file left.
echo "not a picture" >"$dir/notes.txt"
md5=$(md5sum "$dir/demo.ksm" "$dir/c.ini" "$dir/notes.txt")
for bad in "--image demo.ksm" "--image c.ini" "--image notes.txt" "--movie notes.txt" \
           "--image no/such/x.png" "--images no_such_dir" "--image a.png --movie a.png"; do
  err=$(run "$headless" $bad 2>&1)
  [ $? = 1 ] || fail "$bad: not refused"
  echo "$err" | grep -q '^ERROR! Cannot write the ' || fail "$bad: message $err"
  echo "$err" | grep -q '^Headless run' && fail "$bad: refused only after the run"
done
err=$(cd "$dir" && env "${viewer_env[@]}" PATH=/nonexistent "$headless" --headless --frames 5 demo.ksm \
  --movie x.mp4 2>&1)
[ $? = 1 ] || fail "a movie without ffmpeg is not an error"
echo "$err" | grep -q 'ffmpeg' || fail "the missing ffmpeg is not named: $err"
# No OpenGL driver for EGL: a clear error before the run.
err=$(__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent.json run "$headless" --image x.png 2>&1)
[ $? = 1 ] || fail "pictures without an EGL driver are not an error"
echo "$err" | grep -q '^ERROR! Cannot draw pictures without a window: ' || fail "message: $err"
echo "$err" | grep -q '^Headless run' && fail "no EGL driver found only after the run"
[ "$(md5sum "$dir/demo.ksm" "$dir/c.ini" "$dir/notes.txt")" = "$md5" ] || fail "a refused run changed a file"
[ -z "$(ls -A "$dir" | grep '^\.')" ] || fail "temporary files left: $(ls -A "$dir")"

# Quiet when standard error is not a terminal.
err=$(run "$headless" --image a.png 2>&1 >/dev/null)
[ -z "$err" ] || fail "output on standard error: $err"
err=$("$headless" 2>&1)
[ $? = 2 ] || fail "ksm_viewer_headless without --headless is not a usage error"
echo "PASS"
