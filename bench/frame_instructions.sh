#!/bin/sh
# Instructions a frame of every kind of paced frame, as callgrind counts them: what a
# slow box pays, where every instruction costs the same (qemu's -icount). Prints a
# Markdown table.
#
#   bench/frame_instructions.sh BUILD      BUILD: a build directory with the benchmarks
#
# The same for the box CPUs, whole frames per drawing path under qemu:
# box_frame_instructions.sh; the bytes a frame reads back from the framebuffer:
# framebuffer_reads.sh (bench/README.md).
set -eu
bench=$(cd "$1/bench" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/frame-instructions.XXXXXX")
trap 'rm -rf "$out"' EXIT

# count NAME FUNCTION PROGRAM FILTER: runs the benchmark under callgrind, counting only
# inside FUNCTION, and prints a row with the instructions per call of FUNCTION.
count() {
    valgrind --tool=callgrind --callgrind-out-file="$out/$1" --toggle-collect="$2" \
        "$bench/$3" --benchmark_filter="$4" --benchmark_min_time=0.01 > /dev/null 2>&1
    awk -v fn="$2" -v name="$1" '
        /^c?fn=\(/ {
            id = $0; sub(/^c?fn=/, "", id); sub(/\).*/, ")", id)
            label = $0; sub(/^c?fn=\([0-9]+\) ?/, "", label)
            if (label != "") names[id] = label
            called = ($0 ~ /^cfn=/ && names[id] == fn)
            next
        }
        called && /^calls=/ { split($0, c, /[= ]/); calls += c[2]; called = 0; next }
        /^(summary|totals):/ { total = $2 }
        END { printf "| %s | %d | %d |\n", name, calls, total / calls }' "$out/$1"
}

echo "| frame | frames counted | instructions a frame |"
echo "|---|---|---|"
count "zoomer (zoomrotate, along the table)" 'zoomrotate(int, int, int, int, int, unsigned char*)' zoomer_rotate_bench walk
for m in 0 1 2 3; do
    count "3D, model $m near, with stars" 'threedee_frame(int, int, int, int)' threedee_frame_bench "^Model/$m/"
done
count "3D lead-in (model 0 near, trails)" 'threedee_frame(int, int, int, int)' threedee_frame_bench '^LeadIn'
count "end titles" 'theend_frame()' threedee_frame_bench '^Titles'
