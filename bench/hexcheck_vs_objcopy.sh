#!/usr/bin/env bash
# kelto_hexcheck against `objcopy -I ihex -O binary` on one 4 MiB image as
# Intel HEX (about 11.8 MB of text), whole process each. Goal: kelto_hexcheck
# at least 3 times faster.
#
#   bench/hexcheck_vs_objcopy.sh [BUILD_DIR]     (default: build)
#   -> image: 11535372 bytes of HEX, 4194304 bytes of data
#      kelto_hexcheck: 25.5 ms
#      objcopy:        96.7 ms
#      ratio:          3.7x (objcopy / kelto_hexcheck)
# (2 shared cores; absolute times vary with load, the ratio stays 3.7-4.2x)
#
# Uses hyperfine when installed, else a loop timed with date +%s%N.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
hexcheck=$build/bin/kelto_hexcheck
runs=${RUNS:-10}
[[ -x $hexcheck ]] || { echo "missing $hexcheck: build the kelto_hexcheck target first" >&2; exit 2; }
command -v objcopy >/dev/null || { echo "objcopy not found (binutils)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image=$work/image.hex
python3 "$root/scripts/gen_hex.py" --size-bytes $((4 * 1024 * 1024)) --ext-address --seed 7 -o "$image"
echo "image: $(stat -c %s "$image") bytes of HEX, $((4 * 1024 * 1024)) bytes of data"
"$hexcheck" "$image" >/dev/null  # a rejected image would make the figures meaningless

hexcheck_cmd="$hexcheck $image"
objcopy_cmd="objcopy -I ihex -O binary $image $work/image.bin"

# Mean wall time of a command in milliseconds.
mean_ms_loop() {
    local start end
    start=$(date +%s%N)
    for ((i = 0; i < runs; i++)); do eval "$1" >/dev/null; done
    end=$(date +%s%N)
    echo "scale=1; ($end - $start) / $runs / 1000000" | bc
}

if command -v hyperfine >/dev/null; then
    hyperfine --warmup 2 --runs "$runs" --export-json "$work/result.json" -N \
        "$hexcheck_cmd" "$objcopy_cmd" >/dev/null
    read -r ours theirs < <(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print("%.1f %.1f" % (r[0]["mean"] * 1000, r[1]["mean"] * 1000))' "$work/result.json")
else
    ours=$(mean_ms_loop "$hexcheck_cmd")
    theirs=$(mean_ms_loop "$objcopy_cmd")
fi

echo "kelto_hexcheck: $ours ms"
echo "objcopy:        $theirs ms"
echo "ratio:          $(echo "scale=1; $theirs / $ours" | bc)x (objcopy / kelto_hexcheck)"
