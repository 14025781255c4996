#!/bin/bash
# The whole material through the command against today's height + normal
# command, and the DDS BC5 normal map against the PNG one, on a 4096 x 4096
# photograph (docs/samples/bricks.png tiled 8 x 8). Prints the processor time
# (user + system) of each run; rows are interleaved so that a busy machine
# weighs on each alike. Needs python3-pil for the tiling.
#   bench/material_command.sh build/rel/cli/reliefkit [REPS]
set -eu
program=$(realpath "$1")
reps=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$(dirname "$0")/../docs/samples/bricks.png" "$work/photo.png" <<'PY'
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
    /usr/bin/time -f "$name: %U + %S s (wall %e s)" "$program" -q -o out ${runs[$name]}
  done
  uptime
done
