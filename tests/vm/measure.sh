#!/bin/sh
# The slow-box table of MACHINE (machines.sh): the show from the zoomer (`demo 2`), the
# program as packaged, its calls traced by the kernel (trace_demo in plans.sh, read by
# figures.awk), at qemu's -icount shift=N for each SHIFT (a guest CPU of 2^-N x 10^9
# instructions a second); and the fire's flip rate at shift=0. Prints a Markdown table.
#
#   measure.sh MACHINE BUILD [SHIFT...]   BUILD: the build of the machine's CPU (its
#                                         package); SHIFTs default 4 5 6
#
# The trace takes half the guest's memory; where it overruns (ARM at shift 4, whose
# kernel answers every output-delay poll into the trace), VM_MEMORY=512 gives it more.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/machines.sh"
name=$1
machine "$name"
build=$(cd "$2" && pwd)
shift 2
shifts=${*:-4 5 6}
cache=$build/vm-cache
out=$build/tests/vm/measure/$name
"$here/fetch.sh" "$name" "$cache" > /dev/null
ctest --test-dir "$build" -R '^vm_package$' > /dev/null
package=$(ls "$build"/tests/vm/runs/package/demo-*.tar.gz)

# boot SHIFT PLAN DIR START: the figures of one traced run into DIR/figures.txt.
boot() {
    VM_SHIFT=$1 VM_TIMEOUT=3600 "$here/boot.sh" "$name" "$cache" "$here/$2" "$out/$3" "$package"
    if ! grep -q '^overrun: 0$' "$out/$3/trace.gz.stats"; then
        echo "measure.sh: the trace of $3 overran its buffer" >&2
        exit 1
    fi
    gzip -dc "$out/$3/trace.gz" | awk -v start="$4" -f "$here/figures.awk" > "$out/$3/figures.txt"
}
field() { tr ' ' '\n' < "$1" | sed -n "s/^$2=//p"; }

boot 0 plan-fire.sh fire 0
for s in $shifts; do boot "$s" plan-measure.sh "shift$s" 1226; done

echo "| -icount shift | guest instructions a second | zoomer flips/s | 3D flips/s | titles flips/s | smallest output delay (bytes) | longest gap between sound-device calls (ms, at frame) | output delay 0 (polls) | exit |"
echo "|---|---|---|---|---|---|---|---|---|"
for s in $shifts; do
    r=$out/shift$s/figures.txt
    echo "| $s | $(awk "BEGIN { print 1000 / 2 ^ $s }") M | $(field "$r" zoomer) | $(field "$r" threedee) | $(field "$r" titles) | $(field "$r" min_odelay) |" \
        "$(awk "BEGIN { printf \"%.1f\", $(field "$r" max_gap_us) / 1000 }") ($(field "$r" at_frame)) | $(field "$r" dry) | $(cat "$out/shift$s/status") |"
done
echo
echo "The fire at shift 0 (1000 M instructions a second): $(field "$out/fire/figures.txt" fire) flips a second."
