#!/bin/sh
# Boots MACHINE (machines.sh) with a plan and brings its results out.
#
#   boot.sh MACHINE CACHE PLAN OUT GUEST...
#
# CACHE is what fetch.sh fetched (and a kernel build built); PLAN a busybox sh script
# run inside as /plan.sh with /out as its working directory (plans.sh is there as
# /plans.sh). Each GUEST goes into the guest's root: a directory is laid over it, a
# .tar.gz (the box package) is unpacked at it, any other file is put in /bin.
# Everything the plan leaves in /out ends up in OUT, the guest's console in
# OUT/console.log.
# VM_SHIFT is qemu's -icount shift (default: the machine's; 0 is a 1 GHz guest clock,
# 3 125 MHz, whatever the host's load; where the shift is 0 or the machine's
# icount_sleep is off, an idle guest's clock jumps to its next timer, so a run takes
# the host the time of the instructions it runs); VM_TIMEOUT the seconds of host time
# after which a hung guest is stopped (default 900); VM_FB_MEMORY the bytes of video
# memory vfb gets (default 4194304); VM_CPU the guest's CPU instead of the machine's;
# VM_MEMORY the guest's memory in MiB instead of the machine's.
# Exits non-zero when the guest did not finish the plan.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/machines.sh"
machine "$1"
[ -z "${VM_CPU:-}" ] || qemu="$qemu -cpu $VM_CPU"
[ -z "${VM_MEMORY:-}" ] || qemu="$qemu -m $VM_MEMORY"
cache=$2 plan=$3 out=$4
shift 4
vm_shift=${VM_SHIFT:-$shift} timeout=${VM_TIMEOUT:-900} fb_memory=${VM_FB_MEMORY:-4194304}
kdir=$cache/$arch/kernel
image=$(ls "$kdir"/boot/vmlinuz-* 2> /dev/null | sort -V | tail -n 1)
if [ -z "$image" ]; then
    echo "boot.sh: no kernel in $kdir/boot" >&2
    exit 1
fi
release=${image##*/vmlinuz-}

rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/demo-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/out"
for guest in "$@"; do
    case $guest in
    *.tar.gz) tar -xzf "$guest" -C "$root" ;;
    *) if [ -d "$guest" ]; then cp -a "$guest/." "$root/"; else cp "$guest" "$root/bin/"; fi ;;
    esac
done
cp "$cache/$arch/busybox/bin/busybox" "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
cp "$plan" "$root/plan.sh"
cp "$here/plans.sh" "$root/plans.sh"

# The drivers: modules, with everything they depend on and their part of modules.dep
# so that the guest's modprobe finds them (fetch.sh made modules.dep); or built in,
# set up from the command line.
append="console=$console fbcon=font:VGA8x8 vt.global_cursor_default=0 panic=-1"
mods=$kdir/lib/modules/$release
if [ -d "$mods" ]; then
    if [ ! -f "$mods/modules.dep" ]; then
        echo "boot.sh: no modules.dep in $mods: run fetch.sh first" >&2
        exit 1
    fi
    gmods=$root/lib/modules/$release
    mkdir -p "$gmods"
    wanted="snd-aloop snd-pcm-oss $disk_modules"
    if [ "$display" = vfb ]; then wanted="$wanted vfb"; fi
    for m in $wanted; do
        grep -E "/$m\.ko:" "$mods/modules.dep"
    done | sort -u > "$work/wanted.dep"
    tr -d ':' < "$work/wanted.dep" | tr ' ' '\n' | grep . | sort -u > "$work/files"
    while read -r f; do
        mkdir -p "$gmods/$(dirname "$f")"
        cp "$mods/$f" "$gmods/$f"
        grep -E "^$f:" "$mods/modules.dep" >> "$gmods/modules.dep"
    done < "$work/files"
else
    append="$append snd_pcm_oss.nonblock_open=0 snd_aloop.index=0 snd_aloop.pcm_substreams=1"
    if [ "$display" = vfb ]; then append="$append video=vfb: vfb.videomemorysize=$fb_memory"; fi
fi
printf '%s\n' "display=$display" "fb_memory=$fb_memory" "disk_modules=\"$disk_modules\"" > "$root/machine.env"

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"
truncate -s 256M "$work/disk.img"

start=$(date +%s.%N)
status=0
# shellcheck disable=SC2086  # $qemu is the emulator and its arguments
if [ "$vm_shift" -eq 0 ]; then icount_sleep=off; fi
timeout -k 10 "$timeout" $qemu -accel tcg -icount "shift=$vm_shift,sleep=$icount_sleep" -smp 1 \
    -nographic -nic none -no-reboot -monitor none -serial "file:$out/console.log" \
    -kernel "$image" -initrd "$work/initrd.gz" -append "$append" \
    -drive "file=$work/disk.img,format=raw,if=none,id=out" -device "$disk,drive=out" \
    < /dev/null > /dev/null 2>&1 || status=$?
end=$(date +%s.%N)
echo "boot.sh: qemu ran $(awk "BEGIN { printf \"%.1f\", $end - $start }") s (status $status)" >&2
tar -xf "$work/disk.img" -C "$out" 2> /dev/null || true
if [ -f "$out/end-uptime" ]; then
    echo "boot.sh: the guest's clock ran $(cut -d ' ' -f 1 "$out/end-uptime") s" >&2
fi
if [ ! -f "$out/finished" ]; then
    echo "boot.sh: the guest did not finish the plan; last console lines:" >&2
    tail -n 20 "$out/console.log" >&2
    exit 1
fi
