#!/bin/bash
# make-icon.sh - draws the Nimbrel application mark and writes the setup's icon files:
#
#   setup/res/icon-{16,24,32,48,64,128,256}.png   32-bit RGBA PNGs, each drawn at its own size
#   setup/res/nimbrel.ico                          the seven PNGs packed by tools/make-ico.py
#
# The mark is a white cloud (with a second, translucent cloud behind it from 48 px up) on a
# rounded-square tile filled with a diagonal teal-to-ink gradient. Every size is drawn on an
# 8x (4x for the two large ones) canvas and box-averaged down; up to 32 px the cloud's edges
# are snapped to the pixel grid so that the small icons stay crisp.
#
# Run from anywhere:  tools/make-icon.sh
# Needs ImageMagick 6 (/usr/bin/convert), awk and python3. Output is deterministic.
set -euo pipefail

IM=/usr/bin/convert
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
res="$root/setup/res"
[ -x "$IM" ] || { echo "make-icon.sh: $IM not found (install imagemagick)" >&2; exit 1; }
mkdir -p "$res"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Tile gradient: brand teal (top left) -> deep teal -> ink teal (bottom right).
grad_light='#7FDEDA'
grad_mid='#2FA8AC'
grad_deep='#136273'
# Opacity of the cloud behind the main one.
back_gray=gray38

# Cloud geometry, as fractions of the tile (x to the right, y down):
#   pill: left right bottom height | big puff: cx top-centre-y radius | small puff: cx cy radius
main_cloud='0.160 0.740 0.760 0.220 0.510 0.510 0.200 0.320 0.585 0.130'
back_cloud='0.459 0.819 0.531 0.136 0.676 0.376 0.124 0.558 0.423 0.081'
# Up to 32 px the cloud stands alone: centred and a little larger.
solo_cloud='0.181 0.819 0.762 0.242 0.566 0.487 0.220 0.357 0.569 0.143'

# A 256-entry colour ramp through the three gradient stops.
"$IM" -size 1x128 "gradient:$grad_light-$grad_mid" -size 1x128 "gradient:$grad_mid-$grad_deep" \
      -append -rotate 90 -depth 16 "$tmp/ramp.png"

# tile_mvg SIZE SCALE INSET RADIUS -> roundrectangle in canvas coordinates
tile_mvg() {
  awk -v S="$1" -v K="$2" -v IN="$3" -v R="$4" 'BEGIN {
    a = IN * K - 0.5; b = (S - IN) * K - 0.5
    printf "roundrectangle %.2f,%.2f %.2f,%.2f %.2f,%.2f", a, a, b, b, R * K, R * K
  }'
}

# cloud_mvg SIZE SCALE INSET GEOMETRY... -> pill and two circles in canvas coordinates
cloud_mvg() {
  local s=$1 k=$2 in=$3
  shift 3
  awk -v S="$s" -v K="$k" -v IN="$in" -v args="$*" 'BEGIN {
    split(args, g, " ")
    t = S - 2 * IN; snap = (S <= 32); o = -0.5
    l = IN + g[1] * t; r = IN + g[2] * t; bot = IN + g[3] * t; h = g[4] * t
    if (snap) { l = int(l + 0.5); r = int(r + 0.5); bot = int(bot + 0.5); h = int(h + 0.5) }
    top = bot - h
    bx = IN + g[5] * t; br = g[7] * t; btop = IN + (g[6] - g[7]) * t
    sx = IN + g[8] * t; sr = g[10] * t; stop = IN + (g[9] - g[10]) * t
    if (snap) {
      btop = int(btop + 0.5); bx = int(bx * 2 + 0.5) / 2
      stop = int(stop + 0.5); sx = int(sx * 2 + 0.5) / 2
    }
    by = btop + br; sy = stop + sr
    printf "roundrectangle %.2f,%.2f %.2f,%.2f %.2f,%.2f ", l*K+o, top*K+o, r*K+o, bot*K+o, h*K/2, h*K/2
    printf "circle %.2f,%.2f %.2f,%.2f ", bx*K+o, by*K+o, bx*K+o, btop*K+o
    printf "circle %.2f,%.2f %.2f,%.2f", sx*K+o, sy*K+o, sx*K+o, stop*K+o
  }'
}

sizes="16 24 32 48 64 128 256"
pngs=()
for s in $sizes; do
  # inset of the tile from the icon's edge, and its corner radius, in pixels
  case $s in
    16)  inset=0;  radius=3.5; k=8 ;;
    24)  inset=1;  radius=4.5; k=8 ;;
    32)  inset=1;  radius=6;   k=8 ;;
    48)  inset=2;  radius=9;   k=8 ;;
    64)  inset=3;  radius=12;  k=8 ;;
    128) inset=6;  radius=24;  k=4 ;;
    256) inset=12; radius=48;  k=4 ;;
  esac
  n=$((s * k))
  tile=$(tile_mvg "$s" "$k" "$inset" "$radius")
  # shellcheck disable=SC2086  # geometry lists are meant to split
  if [ "$s" -ge 48 ]; then
    front=$(cloud_mvg "$s" "$k" "$inset" $main_cloud)
    behind=$(cloud_mvg "$s" "$k" "$inset" $back_cloud)
  else
    front=$(cloud_mvg "$s" "$k" "$inset" $solo_cloud)
    behind='point -9,-9'
  fi
  out="$res/icon-$s.png"
  "$IM" -size "${n}x${n}" -define gradient:angle=135 gradient:white-black "$tmp/ramp.png" -clut \
        \( -size "${n}x${n}" xc:black -fill white -draw "$tile" \) \
        -alpha off -compose CopyOpacity -composite \
        \( -size "${n}x${n}" xc:white \
           \( -size "${n}x${n}" xc:black -fill "$back_gray" -draw "$behind" \) \
           -alpha off -compose CopyOpacity -composite \) \
        -compose Over -composite \
        \( -size "${n}x${n}" xc:white \
           \( -size "${n}x${n}" xc:black -fill white -draw "$front" \) \
           -alpha off -compose CopyOpacity -composite \) \
        -compose Over -composite \
        -scale "${s}x${s}" -depth 8 -strip \
        -define png:exclude-chunk=all -define png:compression-level=9 \
        "PNG32:$tmp/icon-$s.png"
  cp "$tmp/icon-$s.png" "$out"
  pngs+=("$out")
done

python3 "$here/make-ico.py" "$res/nimbrel.ico" "${pngs[@]}"

for f in "${pngs[@]}" "$res/nimbrel.ico"; do
  printf '%8d  %s\n' "$(stat -c %s "$f")" "${f#"$root"/}"
done
