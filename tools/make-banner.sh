#!/bin/bash
# make-banner.sh - draws the banner across the top of the setup window and writes it as
#
#   setup/res/banner.jpg   1040x400 baseline JPEG, sRGB, 8-bit, 4:2:0, no metadata
#
# Baseline in one interleaved scan, not progressive: Wine's JPEG decoder keeps a progressive
# picture of this size in temporary files that the C runtime names from the ANSI TMP, which
# fails (and ends the process) when TEMP holds characters outside the ANSI code page. A
# baseline picture decodes in memory. tests/display/test_banner_file.py keeps it that way.
#
# The window shows it at 520x200 (96 DPI) or 780x300 (144 DPI). It is a deep ink-to-teal
# gradient with a soft glow at the top right, three layered waves along the bottom (the front
# one white, so the banner runs into the white window below it), and the Nimbrel mark
# (setup/res/icon-256.png, made by tools/make-icon.sh) next to the word "Nimbrel".
#
# Run from anywhere, after tools/make-icon.sh:  tools/make-banner.sh
# Needs ImageMagick 6 (/usr/bin/convert), awk and the DejaVu fonts. Output is deterministic.
set -euo pipefail

IM=/usr/bin/convert
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
res="$root/setup/res"
mark="$res/icon-256.png"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
[ -x "$IM" ] || { echo "make-banner.sh: $IM not found (install imagemagick)" >&2; exit 1; }
[ -f "$mark" ] || { echo "make-banner.sh: $mark missing; run tools/make-icon.sh first" >&2; exit 1; }
[ -f "$font" ] || { echo "make-banner.sh: $font missing (install fonts-dejavu-core)" >&2; exit 1; }

W=1040
H=400
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Background: ink (left) -> deep teal -> teal (right), the ramp blurred so the middle stop
# leaves no crease; plus a faint glow of the brand teal at the top right.
"$IM" -size 1x128 'gradient:#0C2B35-#14596A' -size 1x128 'gradient:#14596A-#2A9EA4' \
      -append -rotate 90 -virtual-pixel edge -blur 0x22 -depth 16 "$tmp/ramp.png"
"$IM" -size "${W}x${H}" -define gradient:angle=100 gradient:white-black "$tmp/ramp.png" -clut \
      \( -size "${W}x${H}" -define gradient:center=900,20 -define gradient:radii=520,330 \
         'radial-gradient:rgba(115,216,212,0.45)-rgba(115,216,212,0)' \) \
      -compose Over -composite "$tmp/back.png"

# wave OUT COLOUR OPACITY BASELINE A1 L1 P1 A2 L2 P2
# A filled area under y = BASELINE + A1 sin(2 pi x/L1 + P1) + A2 sin(2 pi x/L2 + P2).
wave() {
  local poly
  poly=$(awk -v b="$4" -v a1="$5" -v l1="$6" -v p1="$7" -v a2="$8" -v l2="$9" -v p2="${10}" \
             -v W="$W" -v H="$H" 'BEGIN {
    pi = 3.14159265358979
    printf "polygon -2,%d", H + 2
    for (x = -2; x <= W + 2; x += 4)
      printf " %d,%.2f", x, b + a1 * sin(2 * pi * x / l1 + p1) + a2 * sin(2 * pi * x / l2 + p2)
    printf " %d,%d", W + 2, H + 2
  }')
  "$IM" -size "${W}x${H}" "xc:$2" \
        \( -size "${W}x${H}" xc:black -fill "$3" -draw "$poly" \) \
        -alpha off -compose CopyOpacity -composite "$1"
}
wave "$tmp/wave1.png" '#5ED0CC' gray20 262 30 900 0.6 12 410 2.0
wave "$tmp/wave2.png" '#52C8C6' gray48 308 24 760 2.4 10 330 0.9
wave "$tmp/wave3.png" '#FFFFFF' white 356 16 1040 4.2 6 300 1.3

# The mark with a soft ink shadow, and the wordmark; centred together above the waves.
mark_px=152
gap=40
centre_y=140
"$IM" "$mark" -filter Lanczos -resize "${mark_px}x${mark_px}" "$tmp/mark.png"
"$IM" -background none -fill white -font "$font" -pointsize 108 -kerning -2 label:Nimbrel \
      -trim +repage "$tmp/word.png"
word_w=$("$IM" "$tmp/word.png" -format %w info:)
word_h=$("$IM" "$tmp/word.png" -format %h info:)
x0=$(( (W - mark_px - gap - word_w) / 2 ))
mark_y=$(( centre_y - mark_px / 2 ))
word_x=$(( x0 + mark_px + gap ))
word_y=$(( centre_y - word_h / 2 ))
# shadow: sigma 10 widens the picture by 20 px a side; offset 8 px down
"$IM" "$tmp/mark.png" -background '#061C24' -shadow 45x10+0+8 +repage "$tmp/shadow.png"

"$IM" "$tmp/back.png" \
      "$tmp/wave1.png" -compose Over -composite \
      "$tmp/wave2.png" -compose Over -composite \
      "$tmp/wave3.png" -compose Over -composite \
      "$tmp/shadow.png" -geometry "+$(( x0 - 20 ))+$(( mark_y - 12 ))" -compose Over -composite \
      "$tmp/mark.png" -geometry "+$x0+$mark_y" -compose Over -composite \
      "$tmp/word.png" -geometry "+$word_x+$word_y" -compose Over -composite \
      -alpha off -depth 8 -colorspace sRGB -type TrueColor -strip \
      -interlace none -sampling-factor 4:2:0 -quality 82 "JPEG:$tmp/banner.jpg"

cp "$tmp/banner.jpg" "$res/banner.jpg"
printf '%8d  %s\n' "$(stat -c %s "$res/banner.jpg")" "setup/res/banner.jpg"
