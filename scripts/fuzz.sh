#!/usr/bin/env bash
# Fuzzes intake for a while, seeded from the shared corpus and small photos
# that ImageMagick and libjpeg-turbo make here in every format variant.
#   fuzz.sh BUILD-DIR SECONDS [TARGET [libFuzzer options...]]
# No single block may pass 640 MiB, about what the largest frame needs (a
# 36 MP 16-bit PNG's image data inflated, and room for it to double).
# TARGET is kadrova_intake_fuzz (intake and crop-and-scale, the default),
# kadrova_decode_fuzz (intake alone, many more inputs a second) or
# kadrova_unfilter_fuzz (the PNG filters, fast against plain).
# New crashes land in BUILD-DIR/fuzz-artifacts; copy each into
# fuzz/regressions/ once intake refuses it.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
target=${3:-kadrova_intake_fuzz}
shift $(( $# < 3 ? $# : 3 ))
here=$(cd "$(dirname "$0")/.." && pwd)
corpus=${KADROVA_CORPUS_DIR:-$here/../shared/corpus}
seeds=$build/fuzz-seeds
work=$build/fuzz-corpus-$target
artifacts=$build/fuzz-artifacts
mkdir -p "$seeds" "$work" "$artifacts"
# Targets started side by side make their seeds one after another.
exec 9> "$build/fuzz-seeds.lock"
flock 9

if [ -z "$(ls -A "$seeds")" ]; then
  cp "$corpus"/pngsuite/*.png "$corpus"/libjpeg-turbo/*.jpg "$corpus"/libjpeg-turbo/*.png "$seeds"/
  photo=$corpus/libjpeg-turbo/testorig.jpg
  convert "$photo" -resize 48x32 "$seeds/small.ppm"
  cjpeg -quality 90 "$seeds/small.ppm" > "$seeds/baseline.jpg"
  cjpeg -progressive "$seeds/small.ppm" > "$seeds/progressive.jpg"
  cjpeg -grayscale "$seeds/small.ppm" > "$seeds/grey.jpg"
  cjpeg -restart 1 "$seeds/small.ppm" > "$seeds/restart.jpg"
  cjpeg -sample 2x2 "$seeds/small.ppm" > "$seeds/subsampled.jpg"
  cjpeg -sample 2x1 -restart 2B -optimize "$seeds/small.ppm" > "$seeds/optimised-restart.jpg"
  printf '0;\n1;\n2;\n' > "$seeds/scans.txt"
  cjpeg -scans "$seeds/scans.txt" "$seeds/small.ppm" > "$seeds/component-scans.jpg"
  rm "$seeds/scans.txt"
  convert "$seeds/small.ppm" -rotate 90 "$seeds/tall.ppm"
  cjpeg -sample 2x2 "$seeds/tall.ppm" > "$seeds/tall.jpg"
  rm "$seeds/tall.ppm"
  convert "$seeds/small.ppm" -colorspace CMYK "$seeds/cmyk.jpg"
  # Wide and tall enough that the crop leaves out whole MCUs, so intake
  # decodes only its window: sequential and progressive, with refinement
  # scans, restarts, grey and CMYK.
  convert "$photo" -resize '128x24!' "$seeds/wide.ppm"
  convert "$photo" -resize '24x128!' "$seeds/tall.ppm"
  cjpeg -sample 2x2 "$seeds/wide.ppm" > "$seeds/window.jpg"
  cjpeg -progressive -sample 2x2 "$seeds/wide.ppm" > "$seeds/window-progressive.jpg"
  cjpeg -progressive -sample 1x1 -restart 3B "$seeds/tall.ppm" > "$seeds/window-progressive-restart-tall.jpg"
  cjpeg -progressive -grayscale "$seeds/wide.ppm" > "$seeds/window-progressive-grey.jpg"
  printf '0: 0 0 0 2;\n1: 0 0 0 1;\n2: 0 0 0 0;\n0: 0 0 2 1;\n0: 0 0 1 0;\n1: 0 0 1 0;\n0: 1 5 0 2;\n0: 6 63 0 2;\n0: 1 63 2 1;\n0: 1 63 1 0;\n1: 1 63 0 1;\n1: 1 63 1 0;\n2: 1 63 0 0;\n' > "$seeds/scans.txt"
  cjpeg -sample 2x1 -scans "$seeds/scans.txt" "$seeds/wide.ppm" > "$seeds/window-progressive-refined.jpg"
  rm "$seeds/scans.txt"
  # The same scans in orders no encoder writes: an AC scan before the DC
  # scans, a first DC scan again after AC scans, all of them backwards.
  python3 - "$seeds/window-progressive-refined.jpg" <<'PY'
import sys
path = sys.argv[1]
data = open(path, 'rb').read()
def scan_end(at):  # past a scan's entropy-coded data: the next marker that is no restart
    while True:
        at = data.index(b'\xff', at)
        if data[at + 1] != 0 and not 0xD0 <= data[at + 1] <= 0xD7:
            return at
        at += 2
first = data.index(b'\xff\xda')
units, at = [], first
while data[at:at + 2] != b'\xff\xd9':
    sos = data.index(b'\xff\xda', at)
    end = scan_end(sos + 2 + int.from_bytes(data[sos + 2:sos + 4], 'big'))
    units.append(data[at:end])
    at = end
head, tail = data[:first], data[at:]
orders = {'ac-before-dc': [units[6]] + units[:6] + units[7:],
          'dc-again-after-ac': units[:7] + [units[0]] + units[7:],
          'backwards': units[::-1]}
for name, order in orders.items():
    open(path.replace('.jpg', '-' + name + '.jpg'), 'wb').write(head + b''.join(order) + tail)
PY
  convert "$seeds/wide.ppm" -colorspace CMYK "$seeds/wide-cmyk.jpg"
  jpegtran -progressive "$seeds/wide-cmyk.jpg" > "$seeds/window-progressive-cmyk.jpg"
  rm "$seeds/wide-cmyk.jpg"
  convert "$seeds/tall.ppm" -interlace JPEG -quality 85 "$seeds/window-progressive-imagemagick-tall.jpg"
  rm "$seeds/wide.ppm" "$seeds/tall.ppm"
  convert "$seeds/small.ppm" -interlace PNG "$seeds/interlaced.png"
  convert "$seeds/small.ppm" -depth 16 "$seeds/deep.png"
  convert "$seeds/small.ppm" -colors 16 "PNG8:$seeds/palette.png"
  convert "$seeds/small.ppm" -alpha set -channel A -evaluate set 50% "$seeds/alpha.png"
  # Image data stored, at zlib's best and in each of its strategies.
  for compression in level=0 level=9 strategy=1 strategy=2 strategy=3 strategy=4; do
    convert "$seeds/small.ppm" -define "png:compression-$compression" "$seeds/compression-${compression/=/-}.png"
  done
  rm "$seeds/small.ppm"
fi

exec 9>&-
exec "$build/fuzz/$target" "$work" "$seeds" -artifact_prefix="$artifacts/" \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -malloc_limit_mb=640 -print_final_stats=1 "$@"
