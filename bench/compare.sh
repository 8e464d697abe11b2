#!/usr/bin/env bash
# Kadrova's whole pipeline against the tools a user would otherwise reach for,
# on 12, 24 and 36 MP photos made here (baseline JPEG, progressive JPEG, 8-bit
# and 16-bit PNG),
# in alternating runs:
#   ours   build/bench/kadrova_pipeline PHOTO OUT.jpg
#   vips   vipsthumbnail PHOTO -s 1080x1920 -m centre -o OUT.jpg[Q=92]
#   magick convert PHOTO -resize 1080x1920^ -gravity center -extent 1080x1920 -quality 92 OUT.jpg
# Prints the median wall time and the median peak memory (resident set, as
# GNU time reports it) of each, and ours over theirs.
#   bench/compare.sh [RUNS] [PHOTO-NAME...]   (default 5 runs, every photo;
#                                              photos are kept in build/bench-photos)
#   KADROVA_NO_MAGICK=1 leaves ImageMagick out.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
shift $(( $# > 0 ? 1 : 0 ))
pipeline=build/bench/kadrova_pipeline
[ -x "$pipeline" ] || { echo "build first: cmake --preset default && cmake --build --preset default"; exit 1; }
photos=build/bench-photos
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir -p "$photos"

# Photo-like content: a plasma fractal, as a camera would store it; the
# progressive JPEG is the same JPEG as an optimiser or a web export rewrites it.
make_photo() {  # name width height
  local jpg=$photos/$1.jpg png=$photos/$1.png
  if [ ! -f "$jpg" ]; then
    convert -size "$2x$3" -seed 7 plasma:fractal -blur 0x1 -depth 8 "$photos/$1.ppm"
    cjpeg -quality 92 -sample 2x2 "$photos/$1.ppm" > "$jpg"
    convert "$photos/$1.ppm" -define png:compression-level=6 "$png"
    rm "$photos/$1.ppm"
  fi
  [ -f "$photos/$1-progressive.jpg" ] || jpegtran -progressive "$jpg" > "$photos/$1-progressive.jpg"
  # A 16-bit master, as photo editors export it.
  [ -f "$photos/$1-16bit.png" ] ||
    convert -size "$2x$3" -seed 7 plasma:fractal -blur 0x1 -depth 16 -define png:compression-level=6 \
      "$photos/$1-16bit.png"
}
make_photo 12mp 4240 2832
make_photo 24mp 6000 4000
make_photo 36mp 7200 5000

# Runs a command; appends its wall milliseconds and peak kilobytes.
measure() {  # tag command...
  local tag=$1 start end
  shift
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$out/$tag.kb1" "$@" > /dev/null 2>&1
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 )) >> "$out/$tag.ms"
  cat "$out/$tag.kb1" >> "$out/$tag.kb"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2] + v[NR/2+1]) / 2)}'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(12mp.jpg 12mp-progressive.jpg 12mp.png 12mp-16bit.png
                                 24mp.jpg 24mp-progressive.jpg 24mp.png 24mp-16bit.png
                                 36mp.jpg 36mp-progressive.jpg 36mp.png 36mp-16bit.png)
printf '%-22s %8s %8s %8s %10s %10s %10s %9s %9s %9s %9s\n' photo ours_ms vips_ms magick_ms ours_MiB vips_MiB \
  magick_MiB wall/vips mem/vips wall/magk mem/magk
for name in "${names[@]}"; do
  photo=$photos/$name
  rm -f "$out"/*.ms "$out"/*.kb
  for run in $(seq "$runs"); do
    rm -f "$out/o.jpg" "$out/v.jpg" "$out/m.jpg"
    measure ours "$pipeline" "$photo" "$out/o.jpg"
    measure vips vipsthumbnail "$photo" -s 1080x1920 -m centre -o "$out/v.jpg[Q=92]"
    [ -n "${KADROVA_NO_MAGICK:-}" ] || measure magick convert "$photo" -resize '1080x1920^' -gravity center \
      -extent 1080x1920 -quality 92 "$out/m.jpg"
  done
  for f in o v; do [ -s "$out/$f.jpg" ] || { echo "$f made no file for $photo"; exit 1; }; done
  ours=$(median < "$out/ours.ms"); vips=$(median < "$out/vips.ms")
  ours_kb=$(median < "$out/ours.kb"); vips_kb=$(median < "$out/vips.kb")
  if [ -n "${KADROVA_NO_MAGICK:-}" ]; then
    magick=0; magick_kb=0; wall_m=-; mem_m=-
  else
    magick=$(median < "$out/magick.ms"); magick_kb=$(median < "$out/magick.kb")
    wall_m=$(ratio "$ours" "$magick"); mem_m=$(ratio "$ours_kb" "$magick_kb")
  fi
  printf '%-22s %8d %8d %8d %10d %10d %10d %9s %9s %9s %9s\n' "$name" "$ours" "$vips" "$magick" \
    $((ours_kb / 1024)) $((vips_kb / 1024)) $((magick_kb / 1024)) \
    "$(ratio "$ours" "$vips")" "$(ratio "$ours_kb" "$vips_kb")" "$wall_m" "$mem_m"
done
