#!/bin/sh
# Boots Debian's kernel under qemu with a plan and brings its results out.
#
#   boot.sh CACHE PLAN OUT TREE...
#
# CACHE is what fetch.sh unpacked; PLAN a busybox sh script run inside as /plan.sh
# with /out as its working directory (plans.sh is there as /plans.sh); each TREE is a
# directory laid over the guest's root (programs, the box's files). Everything the plan
# leaves in /out ends up in OUT, the guest's console in OUT/console.log.
# VM_SHIFT is qemu's -icount shift (default 0: a 1 GHz guest clock, whatever the
# host's load); VM_TIMEOUT the seconds of host time after which a hung guest is stopped
# (default 900). Exits non-zero when the guest did not finish the plan.
set -eu
cache=$1 plan=$2 out=$3
shift 3
vm_shift=${VM_SHIFT:-0} timeout=${VM_TIMEOUT:-900}
here=$(cd "$(dirname "$0")" && pwd)
release=$(ls "$cache/kernel/lib/modules" | sort -V | tail -n 1)
mods=$cache/kernel/lib/modules/$release

rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/demo-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/out"
for tree in "$@"; do cp -a "$tree/." "$root/"; done
cp "$cache/busybox/bin/busybox" "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
cp "$plan" "$root/plan.sh"
cp "$here/plans.sh" "$root/plans.sh"

# The modules the plan needs and everything they depend on, with their part of
# modules.dep so that the guest's modprobe finds them. depmod runs once per cache.
if [ ! -f "$mods/modules.dep" ]; then
    "$cache/busybox/bin/busybox" depmod -b "$cache/kernel" "$release"
fi
gmods=$root/lib/modules/$release
mkdir -p "$gmods"
for m in snd-aloop snd-pcm-oss vfb virtio_blk virtio_pci; do
    grep -E "/$m\.ko:" "$mods/modules.dep"
done | sort -u > "$work/wanted.dep"
tr -d ':' < "$work/wanted.dep" | tr ' ' '\n' | grep . | sort -u > "$work/files"
while read -r f; do
    mkdir -p "$gmods/$(dirname "$f")"
    cp "$mods/$f" "$gmods/$f"
    grep -E "^$f:" "$mods/modules.dep" >> "$gmods/modules.dep"
done < "$work/files"

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"
truncate -s 256M "$work/disk.img"

start=$(date +%s.%N)
status=0
timeout -k 10 "$timeout" qemu-system-x86_64 -accel tcg -icount "shift=$vm_shift,sleep=on" -m 1024 -smp 1 \
    -nographic -vga none -nic none -no-reboot -monitor none -serial "file:$out/console.log" \
    -kernel "$cache/kernel/boot/vmlinuz-$release" -initrd "$work/initrd.gz" \
    -drive "file=$work/disk.img,format=raw,if=virtio" \
    -append "console=ttyS0 fbcon=font:VGA8x8 vt.global_cursor_default=0 panic=-1" \
    < /dev/null > /dev/null 2>&1 || status=$?
end=$(date +%s.%N)
echo "boot.sh: qemu ran $(awk "BEGIN { printf \"%.1f\", $end - $start }") s (status $status)" >&2
tar -xf "$work/disk.img" -C "$out" 2> /dev/null || true
if [ ! -f "$out/finished" ]; then
    echo "boot.sh: the guest did not finish the plan; last console lines:" >&2
    tail -n 20 "$out/console.log" >&2
    exit 1
fi
