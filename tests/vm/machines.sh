#!/bin/sh
# The machines the box program meets a real kernel on: one entry each. Sourced by
# fetch.sh, boot.sh and measure.sh (machine NAME sets the fields below); run on its
# own it prints every machine with the fields CMake needs (tests/vm/CMakeLists.txt).
#
#   cpu       the box build that runs it (CMAKE_SYSTEM_PROCESSOR: its package is
#             demo-<version>-<cpu>.tar.gz)
#   arch      Debian's architecture of the guest's busybox-static and kernel; what is
#             fetched or built for the guest lives in CACHE/<arch>
#   busybox   debian: Debian's busybox-static for arch; build: busybox.sh builds it
#             (Debian 12 has no powerpc)
#   label     the CTest label of its short plan (the whole show is `fullshow`)
#   qemu      the system emulator and its machine's arguments, display included
#   console   the kernel's serial console
#   disk      the qemu device of the disk the results come out on
#   disk_modules  the modules that disk needs, where the kernel has modules
#   kernel    Debian's kernel package (an extended regular expression for the newest
#             of them), or empty where kernel.sh builds the kernel (kernel-<arch>.config)
#             into CACHE/<arch>/kernel: boot/vmlinuz-RELEASE (what qemu's -kernel takes)
#             and, where drivers are modules, lib/modules/RELEASE; without lib/modules
#             everything is built in and takes its settings from the command line
#   shift     qemu's -icount shift for the plans: a guest CPU of 2^-shift x 10^9
#             instructions a second (boot.sh's VM_SHIFT overrides it)
#   display   vfb: the show's framebuffer is vfb (4 MiB, reloaded before every run
#             where it is a module); booted: the machine's own display as the kernel
#             found it
#   icount_sleep  qemu's -icount sleep at a shift above 0 (at 0 it is off): off, the
#             guest's clock jumps to its next timer when it idles; on, an idling
#             guest's clock follows the host's. Malta under qemu 7.2 needs on: with off
#             and a shift of 3 or more its guest never woke from a sleep (busybox
#             `sleep 0.2`), while qemu ran on.
machines="x86_64 mipsel mipsel-cirrus armhf powerpc"
machine() {
    disk=virtio-blk-pci disk_modules="virtio_pci virtio_blk" console=ttyS0 display=vfb busybox=debian shift=0 icount_sleep=off
    case $1 in
    x86_64)
        # A 125 MHz guest (shift 3), as ARM and PowerPC: the show holds every period
        # there (the slow-box tables in README.md), and the short plan, which never
        # idles, costs the host an eighth of a 1 GHz guest's instructions.
        cpu=x86_64 arch=amd64 label=vm shift=3
        qemu="qemu-system-x86_64 -m 1024 -vga none"
        kernel='linux-image-6.1.0-[0-9]+-amd64(-unsigned)?' ;;
    mipsel)
        # A 74Kf: a core with the DSP extension, as many set-top boxes' MIPS cores
        # have, so that the show takes its DSP path (VM_CPU=24Kf: a core without).
        cpu=mipsel arch=mipsel label=vm-mips shift=4 icount_sleep=on
        qemu="qemu-system-mipsel -M malta -cpu 74Kf -m 256 -rtc clock=vm -vga none"
        kernel='linux-image-6.1.0-[0-9]+-4kc-malta' ;;
    mipsel-cirrus)
        # Malta's own display: a Cirrus Logic chip with 4 MiB (cirrusfb).
        cpu=mipsel arch=mipsel label=vm-mips shift=4 icount_sleep=on
        qemu="qemu-system-mipsel -M malta -cpu 74Kf -m 256 -rtc clock=vm"
        kernel='linux-image-6.1.0-[0-9]+-4kc-malta' display=booted ;;
    armhf)
        # Debian's ARM kernel has no vfb: a kernel of our own, with virtio over MMIO
        # and the PL011 console built in. A 125 MHz guest (shift 3), as the PowerPC: the
        # fire flips as fast as the box pans, and a 1 GHz guest's fire keeps qemu busy
        # for the whole of it (see README.md).
        cpu=armhf arch=armhf label=vm-arm kernel='' shift=3
        qemu="qemu-system-arm -M virt -cpu cortex-a15 -m 256"
        console=ttyAMA0 disk=virtio-blk-device disk_modules='' ;;
    powerpc)
        # A G4 (7400): the classic FPU the box build targets, and AltiVec; mac99 is
        # booted by OpenBIOS. Debian 12 has no powerpc kernel or busybox.
        cpu=powerpc arch=powerpc label=vm-ppc kernel='' busybox=build shift=3
        qemu="qemu-system-ppc -M mac99 -cpu G4 -m 256 -vga none"
        console=ttyPZ0 disk_modules='' ;;
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
