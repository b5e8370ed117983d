#!/bin/sh
# Instructions a frame for each CPU and drawing path, counted under qemu's user-mode
# emulator: one translated block per guest instruction (-singlestep) and each block's
# execution logged (-d exec,nochain), so the log has one line per instruction executed;
# the lines from the first of counted_begin to the first of counted_end are the frames'
# (bench/frame_count.cpp). Whole frames as the show runs them: drawing, palette step,
# page flip and one feed of the sound device (two bursts), with the emulated box's
# device code standing in for the kernel's. Prints a Markdown table.
#
#   bench/box_frame_instructions.sh BUILD...     BUILD: a build directory with frame_count
#
# Every path the emulated CPU has is counted: ARM's default CPU has NEON; PowerPC runs as
# a G3 (750, no AltiVec) and as a G4 (7400, AltiVec). FRAMES (default 4) frames a kind, KINDS the kinds (frame_count's),
# RUNS the runs of every build instead, as CPU:PATH (an empty CPU: qemu's default).
set -eu
frames=${FRAMES:-4}
kinds=${KINDS:-"zoomer zoomer-noise model0 model1 model2 model3 leadin titles"}

# count QEMU ROOT PROGRAM KIND PATH [CPU]: instructions a frame.
count() {
    qemu=$1 root=$2 program=$3 kind=$4 path=$5 cpu=${6:-}
    # The log goes to descriptor 3, the pipe; the program's own output is discarded.
    # shellcheck disable=SC2086
    { "$qemu" ${cpu:+-cpu $cpu} ${root:+-L $root} -singlestep -d exec,nochain -D /dev/fd/3 \
        "$program" "$kind" "$frames" "$path" 3>&1 1>/dev/null 2>/dev/null; } |
        awk -v frames="$frames" '
            !on && / counted_begin$/ { on = 1 }
            on && / counted_end$/ { printf "%d", n / frames; done = 1; exit }
            on { n++ }
            END { if (!done) printf "-" }'
}

echo "| CPU | path | $(echo $kinds | sed 's/ / | /g') |"
echo "|---|---|$(for k in $kinds; do printf -- '---|'; done)"
for build in "$@"; do
    program=$(cd "$build" && pwd)/bench/frame_count
    # The CPU from the program itself; its libraries as the build's tests take them.
    case "$(file -b "$program")" in
    *PowerPC*) processor=powerpc qemu=qemu-ppc-static triple=powerpc-linux-gnu
        runs="750:words 7400:words 7400:altivec" ;;
    *ARM*) processor=armhf qemu=qemu-arm-static triple=arm-linux-gnueabihf runs=":words :neon" ;;
    *MIPS*) processor=mipsel qemu=qemu-mipsel-static triple=mipsel-linux-gnu runs=":words 74Kf:dsp" ;;
    *x86-64*) processor=x86-64 qemu=qemu-x86_64-static triple= runs=":words :sse2" ;;
    *) echo "$program: unknown CPU" >&2; exit 1 ;;
    esac
    runs=${RUNS:-$runs}
    root=
    if [ -n "$triple" ]; then
        root=/usr/$triple
        [ ! -d "$build/box-deps/qemu-root" ] || root=$(cd "$build/box-deps/qemu-root" && pwd)
    fi
    for run in $runs; do
        cpu=${run%%:*} path=${run#*:}
        printf '| %s | %s |' "$processor${cpu:+ ($cpu)}" "$path"
        for kind in $kinds; do printf ' %s |' "$(count "$qemu" "$root" "$program" "$kind" "$path" "$cpu")"; done
        echo
    done
done
