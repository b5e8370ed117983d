#!/bin/sh
# Bytes a frame reads back from framebuffer memory, for each effect and each drawing
# path this machine has: what a box pays where the framebuffer is mapped uncached and
# every read is a bus round trip. Valgrind's lackey traces every load; the loads inside
# the framebuffer between the two marker cells of bench/frame_count.cpp are the frames'
# (a read-modify-write counts as a read). Prints a Markdown table.
#
#   bench/framebuffer_reads.sh BUILD      BUILD: a native build directory with frame_count
#
# The word path is the same source on every CPU, and reads the same bytes there. FRAMES
# (default 4) frames a kind.
set -eu
program=$(cd "$1" && pwd)/bench/frame_count
frames=${FRAMES:-4}
kinds=${KINDS:-"zoomer zoomer-noise model0 leadin titles"}

# reads KIND PATH: bytes read from the framebuffer a frame. Valgrind lays the process
# out the same way on every run, so a first run without tracing gives the addresses.
reads() {
    set -- $(valgrind --tool=none "$program" "$1" 1 "$2" 2>/dev/null) "$1" "$2"
    fb=$4 size=$5 markers=$6 kind=$7 path=$8
    valgrind --tool=lackey --trace-mem=yes --log-fd=3 "$program" "$kind" "$frames" "$path" 3>&1 1>/dev/null 2>/dev/null |
        awk -v fb=$((fb)) -v size="$size" -v begin=$((markers)) -v end=$((markers + 4)) -v frames="$frames" '
            $1 != "L" && $1 != "M" { next }
            {
                split($2, a, ","); addr = 0; hex = tolower(a[1])
                for (i = 1; i <= length(hex); i++) addr = addr * 16 + index("0123456789abcdef", substr(hex, i, 1)) - 1
            }
            !on && addr == begin { on = 1; next }
            on && addr == end { printf "%d", n / frames; done = 1; exit }
            on && addr >= fb && addr < fb + size { n += a[2] }
            END { if (!done) printf "-" }'
}

echo "| path | $(echo $kinds | sed 's/ / | /g') |"
echo "|---|$(for k in $kinds; do printf -- '---|'; done)"
for path in words sse2; do
    printf '| %s |' "$path"
    for kind in $kinds; do printf ' %s |' "$(reads "$kind" "$path")"; done
    echo
done
