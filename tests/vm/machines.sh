#!/bin/sh
# The machines the box program meets a real kernel on: one entry each. Sourced by
# fetch.sh, boot.sh and measure.sh (machine NAME sets the fields below); run on its
# own it prints every machine with the fields CMake needs (tests/vm/CMakeLists.txt).
#
#   cpu       the box build that runs it (CMAKE_SYSTEM_PROCESSOR: its package is
#             demo-<version>-<cpu>.tar.gz)
#   arch      Debian's architecture of the guest's busybox-static and kernel; what is
#             fetched or built for the guest lives in CACHE/<arch>
#   label     the CTest label of its short plan (the whole show is `fullshow`)
#   qemu      the system emulator and its machine's arguments, display included
#   console   the kernel's serial console
#   disk      the qemu device of the disk the results come out on
#   disk_modules  the modules that disk needs, where the kernel has modules
#   kernel    Debian's kernel package (an extended regular expression for the newest
#             of them), or empty where a kernel build puts the kernel in
#             CACHE/<arch>/kernel: boot/vmlinuz-RELEASE (what qemu's -kernel takes) and,
#             where drivers are modules, lib/modules/RELEASE; without lib/modules
#             everything is built in and takes its settings from the command line
#   display   vfb: the show's framebuffer is vfb (4 MiB, reloaded before every run
#             where it is a module); booted: the machine's own display as the kernel
#             found it
#   icount    qemu's -icount shift the tests run at (the guest runs 2^-icount x 10^9
#             instructions a second of its clock). The show never idles (it polls the
#             output delay while it waits), so a run costs its guest time times that:
#             MIPS runs at 4, where its show holds every period (README).
#   icount_sleep  qemu's -icount sleep at a shift above 0 (at 0 it is off): off, the
#             guest's clock jumps to its next timer when it idles; on, an idling
#             guest's clock follows the host's. Malta under qemu 7.2 needs on: with off
#             and a shift of 3 or more its guest never woke from a sleep (busybox
#             `sleep 0.2`), while qemu ran on.
machines="x86_64 mipsel mipsel-cirrus"
machine() {
    disk=virtio-blk-pci disk_modules="virtio_pci virtio_blk" console=ttyS0 display=vfb icount=0 icount_sleep=off
    case $1 in
    x86_64)
        cpu=x86_64 arch=amd64 label=vm
        qemu="qemu-system-x86_64 -m 1024 -vga none"
        kernel='linux-image-6.1.0-[0-9]+-amd64(-unsigned)?' ;;
    mipsel)
        cpu=mipsel arch=mipsel label=vm-mips icount=4 icount_sleep=on
        qemu="qemu-system-mipsel -M malta -m 256 -rtc clock=vm -vga none"
        kernel='linux-image-6.1.0-[0-9]+-4kc-malta' ;;
    mipsel-cirrus)
        # Malta's own display: a Cirrus Logic chip with 4 MiB (cirrusfb).
        cpu=mipsel arch=mipsel label=vm-mips icount=4 icount_sleep=on
        qemu="qemu-system-mipsel -M malta -m 256 -rtc clock=vm"
        kernel='linux-image-6.1.0-[0-9]+-4kc-malta' display=booted ;;
    *)
        echo "machines.sh: no machine $1" >&2
        return 1 ;;
    esac
}

if [ "${0##*/}" = machines.sh ]; then
    for m in $machines; do
        machine "$m"
        echo "$m cpu=$cpu arch=$arch label=$label qemu=${qemu%% *} display=$display"
    done
fi
