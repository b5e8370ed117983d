#!/bin/sh
# Puts what MACHINE (machines.sh) boots into CACHE/<arch>: Debian's kernel, where the
# machine names one, unpacked into kernel/, with the build machine's busybox-static,
# whose depmod lays out its modules; or else the kernel kernel.sh builds there from
# Debian's kernel source (unpacked once into CACHE/source for every CPU); and
# busybox-static (or busybox.sh's build of it) in busybox/. Each .deb comes from
# apt-get download with a package index of its own in CACHE/<arch>/apt (no
# architecture is added to the host's dpkg) and is unpacked with dpkg-deb -x: nothing
# goes into the host's /boot or /lib/modules. Idempotent: what is there is not fetched
# or built again. Prints the guest's directory.
#
#   fetch.sh MACHINE CACHE
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/machines.sh"
machine "$1"
mkdir -p "$2"
cache=$(cd "$2" && pwd)
host=$(dpkg --print-architecture)

# apt-get or apt-cache (TOOL) with the guest's own index, for its architecture and
# the host's.
guest=$cache/$arch
apt_for() {
    tool=$1
    shift
    $tool -q -o Dir::State::Lists="$guest/apt/lists" -o Dir::Cache="$guest/apt/cache" \
        -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Architectures::="$host" \
        -o APT::Sandbox::User=root "$@"
}
index() {
    if [ ! -f "$guest/apt/updated" ]; then
        mkdir -p "$guest/apt/lists/partial" "$guest/apt/cache/archives/partial"
        apt_for apt-get update > /dev/null
        touch "$guest/apt/updated"
    fi
}

# unpack PACKAGE:ARCH TARGET: the package's .deb unpacked into TARGET.
unpack() {
    if [ -f "$2/.unpacked" ]; then return 0; fi
    index
    rm -rf "$2" "$2.tmp" && mkdir -p "$2.tmp"
    (cd "$2.tmp" && apt_for apt-get download "$1" > /dev/null)
    dpkg-deb -x "$2.tmp"/*.deb "$2.tmp/root"
    mv "$2.tmp/root" "$2" && rm -rf "$2.tmp"
    touch "$2/.unpacked"
}

if [ -z "$kernel" ]; then
    "$here/kernel.sh" "$arch" "$guest" "$cache/source" > /dev/null
else
    if [ ! -f "$guest/kernel/.unpacked" ]; then
        index
        package=$(apt_for apt-cache search --names-only "^$kernel\$" | awk '{print $1}' | sort -V | tail -n 1)
        if [ -z "$package" ]; then
            echo "fetch.sh: Debian lists no package $kernel for $arch" >&2
            exit 1
        fi
        unpack "$package:$arch" "$guest/kernel"
    fi
    unpack "busybox-static:$host" "$cache/$host/busybox"
    # modules.dep, made here once: the boots that share this cache run side by side and
    # only read it.
    for mods in "$guest"/kernel/lib/modules/*; do
        if [ -d "$mods" ] && [ ! -f "$mods/modules.dep" ]; then
            "$cache/$host/busybox/bin/busybox" depmod -b "$guest/kernel" "${mods##*/}"
        fi
    done
fi
if [ "$busybox" = build ]; then
    "$here/busybox.sh" "$arch" "$guest"
else
    unpack "busybox-static:$arch" "$guest/busybox"
fi
test -x "$guest/busybox/bin/busybox"
echo "$guest"
