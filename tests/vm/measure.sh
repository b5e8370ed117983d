#!/bin/sh
# The slow-box table: the show from the zoomer (`demo 2`) under the counting shim at
# qemu's -icount shift=N for each SHIFT (a guest CPU of 2^-N x 10^9 instructions a
# second), and the fire's flip rate at shift=0. Prints a Markdown table.
#
#   measure.sh BUILD [SHIFT...]      BUILD: the build directory; SHIFTs default 4 5 6
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
shift
shifts=${*:-4 5 6}
cache=$build/vm-cache
out=$build/tests/vm/measure
"$here/fetch.sh" x86_64 "$cache" > /dev/null
# The box's files from the package, as the tests pack it.
ctest --test-dir "$build" -R '^vm_package$' > /dev/null
package=$(ls "$build"/tests/vm/runs/package/demo-*.tar.gz)

# The build's own dynamically linked demo in the package's place, with what ldd lists,
# and the shim.
tree=$(mktemp -d "${TMPDIR:-/tmp}/demo-measure.XXXXXX")
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/mnt" "$tree/lib"
cp "$build/demo" "$tree/mnt/demo"
cp "$build/tests/vm/libvmshim.so" "$tree/lib/vmshim.so"
for lib in $( (ldd "$build/demo"; ldd "$build/tests/vm/libvmshim.so") | awk '$2 == "=>" { print $3 } $1 ~ /^\// { print $1 }' | sort -u); do
    mkdir -p "$tree$(dirname "$lib")"
    cp -L "$lib" "$tree$lib"
done

boot() {
    VM_SHIFT=$1 VM_TIMEOUT=3600 "$here/boot.sh" x86_64 "$cache" "$here/$2" "$out/$3" "$package" "$tree"
}
field() { tr ' ' '\n' < "$1" | sed -n "s/^$2=//p"; }

boot 0 plan-fire.sh fire
for s in $shifts; do boot "$s" plan-measure.sh "shift$s"; done

echo "| -icount shift | guest instructions a second | zoomer flips/s | 3D flips/s | titles flips/s | smallest output delay (bytes) | longest gap between sound-device calls (ms, at frame) | output delay 0 (polls) | exit |"
echo "|---|---|---|---|---|---|---|---|---|"
for s in $shifts; do
    r=$out/shift$s/shim.txt
    echo "| $s | $(awk "BEGIN { print 1000 / 2 ^ $s }") M | $(field "$r" zoomer) | $(field "$r" threedee) | $(field "$r" titles) | $(field "$r" min_odelay) |" \
        "$(awk "BEGIN { printf \"%.1f\", $(field "$r" max_gap_us) / 1000 }") ($(field "$r" at_frame)) | $(field "$r" dry) | $(cat "$out/shift$s/status") |"
done
echo
echo "The fire at shift 0 (1000 M instructions a second): $(field "$out/fire/shim.txt" fire) flips a second."
