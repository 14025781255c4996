#!/bin/bash
# The whole material through the command against today's height + normal
# command, and the DDS BC5 normal map against the PNG one, on a 4096 x 4096
# photograph (docs/samples/bricks.png, or the sample given, tiled 8 x 8).
# Prints the processor time (user + system) of each run; rows are
# interleaved so that a busy machine weighs on each alike, and at the end the
# median over the repetitions of each one's six maps over its own two (this
# machine's speed drifts too much for the least of each row taken apart).
# Needs python3-pil for the tiling.
#   bench/material_command.sh build/rel/cli/reliefkit [REPS] [SAMPLE.png]
set -eu
program=$(realpath "$1")
reps=${2:-3}
sample=$(realpath "${3:-$(dirname "$0")/../docs/samples/bricks.png}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$sample" "$work/photo.png" <<'PY'
import sys
from PIL import Image
tile = Image.open(sys.argv[1]).convert("RGB")
photo = Image.new("RGB", (8 * tile.width, 8 * tile.height))
for y in range(8):
    for x in range(8):
        photo.paste(tile, (x * tile.width, y * tile.height))
photo.save(sys.argv[2])
PY
cd "$work"
"$program" -q --height-only --depth 16 -o heights photo.png
declare -A runs=(
  [height+normal]="photo.png"
  [six maps]="--maps height,normal,ao,curvature,roughness,albedo photo.png"
  [normal, DDS BC5]="--from-height --maps normal --format dds heights/photo_height.png"
  [normal, PNG]="--from-height --maps normal heights/photo_height.png"
)
for rep in $(seq "$reps"); do
  for name in "height+normal" "six maps" "normal, DDS BC5" "normal, PNG"; do
    rm -rf out
    # shellcheck disable=SC2086
    /usr/bin/time -o times -f "$name: %U + %S s (wall %e s)" "$program" -q -o out ${runs[$name]}
    cat times >&2
    cat times >> all_times
  done
  uptime
done
# Each repetition's six maps over its own height + normal, CPU and wall.
/usr/bin/python3 - all_times <<'PY'
import re, statistics, sys
pairs, base = [], None
for line in open(sys.argv[1]):
    m = re.match(r"(.+): ([0-9.]+) \+ ([0-9.]+) s \(wall ([0-9.]+) s\)", line)
    if not m:
        continue
    cpu, wall = float(m[2]) + float(m[3]), float(m[4])
    if m[1] == "height+normal":
        base = (cpu, wall)
    elif m[1] == "six maps" and base:
        pairs.append((cpu / base[0], wall / base[1]))
print("six maps / height+normal, median of %d pairs: CPU %.2f, wall %.2f" % (
    len(pairs), statistics.median(p[0] for p in pairs), statistics.median(p[1] for p in pairs)))
PY
