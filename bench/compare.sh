#!/usr/bin/env bash
# Kadrova's whole pipeline against the tools a user would otherwise reach for,
# on 12, 24 and 36 MP JPEG and PNG photos made here, in alternating runs:
#   ours   build/bench/kadrova_pipeline PHOTO OUT.jpg
#   vips   vipsthumbnail PHOTO -s 1080x1920 -m centre -o OUT.jpg[Q=92]
#   magick convert PHOTO -resize 1080x1920^ -gravity center -extent 1080x1920 -quality 92 OUT.jpg
# Prints the median wall time of each and the ratios.
#   bench/compare.sh [RUNS]        (default 5; photos are kept in build/bench-photos)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
pipeline=build/bench/kadrova_pipeline
[ -x "$pipeline" ] || { echo "build first: cmake --preset default && cmake --build --preset default"; exit 1; }
photos=build/bench-photos
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir -p "$photos"

# Photo-like content: a plasma fractal, as a camera would store it.
make_photo() {  # name width height
  local jpg=$photos/$1.jpg png=$photos/$1.png
  if [ ! -f "$jpg" ]; then
    convert -size "$2x$3" -seed 7 plasma:fractal -blur 0x1 -depth 8 "$photos/$1.ppm"
    cjpeg -quality 92 -sample 2x2 "$photos/$1.ppm" > "$jpg"
    convert "$photos/$1.ppm" -define png:compression-level=6 "$png"
    rm "$photos/$1.ppm"
  fi
}
make_photo 12mp 4240 2832
make_photo 24mp 6000 4000
make_photo 36mp 7200 5000

now() { date +%s%N; }
time_ms() {  # command...: prints milliseconds
  local start end
  start=$(now)
  "$@" > /dev/null 2>&1
  end=$(now)
  echo $(( (end - start) / 1000000 ))
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2] + v[NR/2+1]) / 2)}'; }

printf '%-10s %9s %9s %9s %10s %10s\n' photo ours_ms vips_ms magick_ms ours/vips ours/magick
for name in 12mp 24mp 36mp; do
  for kind in jpg png; do
    photo=$photos/$name.$kind
    : > "$out/ours"; : > "$out/vips"; : > "$out/magick"
    for run in $(seq "$runs"); do
      rm -f "$out/o.jpg" "$out/v.jpg" "$out/m.jpg"
      time_ms "$pipeline" "$photo" "$out/o.jpg" >> "$out/ours"
      time_ms vipsthumbnail "$photo" -s 1080x1920 -m centre -o "$out/v.jpg[Q=92]" >> "$out/vips"
      time_ms convert "$photo" -resize '1080x1920^' -gravity center -extent 1080x1920 -quality 92 "$out/m.jpg" >> "$out/magick"
    done
    for f in o v m; do [ -s "$out/$f.jpg" ] || { echo "$f made no file for $photo"; exit 1; }; done
    ours=$(median < "$out/ours"); vips=$(median < "$out/vips"); magick=$(median < "$out/magick")
    printf '%-10s %9d %9d %9d %10.2f %10.2f\n' "$name.$kind" "$ours" "$vips" "$magick" \
      "$(echo "$ours / $vips" | bc -l)" "$(echo "$ours / $magick" | bc -l)"
  done
done
