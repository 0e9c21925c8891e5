#!/usr/bin/env bash
# Pixel probes for the rendering window tests: small awk passes over a
# screenshot converted to plain PPM. Sourced after scripts/gui_lib.sh.
#
# A "white" pixel is one of the wireframe lines (all components 255); a
# "ball" pixel is lit and not grey, which sets the shaded sprites apart from
# the white lines and the black background.

# ppm_scan FILE 'per-pixel awk code using r g b x y' 'END awk code'
ppm_scan() {
  convert "$1" -depth 8 -compress none ppm:- | awk '
    { for (i = 1; i <= NF; i++) {
        if (hn < 4) { hd[hn++] = $i; if (hn == 4) w = hd[1]; continue }
        v[k++] = $i
        if (k == 3) { k = 0; r = v[0]; g = v[1]; b = v[2]; x = p % w; y = int(p / w); p++
                      '"$2"' } } }
    END { '"$3"' }'
}

# x positions where a run of white pixels starts in row Y, blank-separated.
white_runs_in_row() {  # white_runs_in_row FILE Y
  ppm_scan "$1" "if (y == $2) { white = (r == 255 && g == 255 && b == 255);
                  if (white && !prev) out = out x \" \"; prev = white }" \
               'print out'
}

# Number of white pixels in column X between rows Y0 and Y1.
white_in_column() {  # white_in_column FILE X Y0 Y1
  ppm_scan "$1" "if (x == $2 && y >= $3 && y <= $4 && r == 255 && g == 255 && b == 255) n++" \
               'print n + 0'
}

# "count minx maxx miny maxy" of the white pixels.
white_box() {
  ppm_scan "$1" 'if (r == 255 && g == 255 && b == 255) { n++;
                   if (n == 1 || x < x0) x0 = x; if (n == 1 || x > x1) x1 = x;
                   if (n == 1 || y < y0) y0 = y; if (n == 1 || y > y1) y1 = y }' \
               'print n + 0, x0 + 0, x1 + 0, y0 + 0, y1 + 0'
}

# Ball pixels: lit (brightest component above 12) and not grey.
BALL_PIXEL='(r != g || g != b) && (r > 12 || g > 12 || b > 12)'

# One sprite: "count minx maxx miny maxy lowerleft upperright maxr maxg maxb",
# where lowerleft and upperright are the mean brightness (r+g+b) of the ball
# pixels in those quadrants of the sprite's bounding box, and maxr/g/b the
# components of the brightest pixel.
sprite_report() {
  ppm_scan "$1" "if ($BALL_PIXEL) { n++; px[n] = x; py[n] = y; pv[n] = r + g + b;
                   pr[n] = r; pg[n] = g; pb[n] = b;
                   if (n == 1 || x < x0) x0 = x; if (n == 1 || x > x1) x1 = x;
                   if (n == 1 || y < y0) y0 = y; if (n == 1 || y > y1) y1 = y }" \
    'cx = (x0 + x1) / 2; cy = (y0 + y1) / 2; best = 0
     for (i = 1; i <= n; i++) {
       if (px[i] < cx && py[i] > cy) { ll += pv[i]; nll++ }
       if (px[i] > cx && py[i] < cy) { ur += pv[i]; nur++ }
       if (pv[i] > best) { best = pv[i]; mr = pr[i]; mg = pg[i]; mb = pb[i] } }
     printf "%d %d %d %d %d %.1f %.1f %d %d %d\n", n, x0, x1, y0, y1,
            nll ? ll / nll : 0, nur ? ur / nur : 0, mr, mg, mb'
}

# Colour layout of many balls: "n left_r right_r top_g bottom_g mean_y", the
# mean red of ball pixels in the left and right thirds of the picture, the
# mean green in the top and bottom thirds, and the mean row of ball pixels.
ball_layout() {
  ppm_scan "$1" "if ($BALL_PIXEL) { n++; sy += y;
                   if (x < w / 3) { lr += r; nl++ } else if (x >= 2 * w / 3) { rr += r; nr++ }
                   if (y < hd[2] / 3) { tg += g; nt++ } else if (y >= 2 * hd[2] / 3) { bg += g; nb++ } }" \
    'printf "%d %.1f %.1f %.1f %.1f %.1f\n", n, nl ? lr / nl : 0, nr ? rr / nr : 0,
            nt ? tg / nt : 0, nb ? bg / nb : 0, n ? sy / n : 0'
}

# Number of pixels that differ between two screenshots of the same size.
pixels_changed() {  # pixels_changed A.png B.png
  compare -metric AE "$1" "$2" null: 2>&1 | awk '{ print int($1) }'
}

# Field of the i-th word (1-based) of a line.
word() { echo "$1" | awk -v i="$2" '{ print $i }'; }

# a <= v <= b for numbers
within() { awk -v v="$1" -v a="$2" -v b="$3" 'BEGIN { exit !(v >= a && v <= b) }'; }

# A click of an X button (4 and 5 are the wheel) at window position X Y.
render_click() {  # render_click BUTTON X Y
  local id
  id=$(gui_window_id) || gui_fail "no window to click in"
  xdotool mousemove --window "$id" "$2" "$3" sleep 0.1 click "$1"
}

# Screenshot once the frames after the last input have been drawn.
render_settled_screenshot() {  # render_settled_screenshot FILE
  sleep 0.7
  gui_screenshot "$1"
}

# Checks that the blank-separated numbers in $1 match those in $2 within
# $3 each (and that there are as many).
runs_match() {  # runs_match "have" "want" tolerance
  awk -v have="$1" -v want="$2" -v tol="$3" 'BEGIN {
    nh = split(have, h, " "); nw = split(want, w, " ")
    if (nh != nw) exit 1
    for (i = 1; i <= nw; i++) { d = h[i] - w[i]; if (d < -tol || d > tol) exit 1 }
    exit 0 }'
}
