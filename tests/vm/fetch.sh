#!/bin/sh
# Fetches Debian's amd64 6.1 kernel and busybox-static and unpacks them into DIR
# (default: ./vm-cache), never into the host's own /boot or /lib/modules. Idempotent:
# a package already unpacked is not fetched again. Prints the kernel's release.
#
#   fetch.sh [DIR]
set -eu
dir=$(mkdir -p "${1:-vm-cache}" && cd "${1:-vm-cache}" && pwd)
cd "$dir"

# The newest non-debug, non-cloud, non-rt image of 6.1 that the archive lists.
pick_kernel() {
    apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64(-unsigned)?$' |
        awk '{print $1}' | sort -V | tail -n 1
}

# unpack PACKAGE TARGET: downloads PACKAGE's .deb and unpacks it into TARGET.
unpack() {
    if [ -f "$2/.unpacked" ]; then return 0; fi
    rm -rf "$2" "$2.tmp" && mkdir -p "$2.tmp"
    (cd "$2.tmp" && apt-get download -q -o APT::Sandbox::User=root "$1" > /dev/null)
    dpkg-deb -x "$2.tmp"/*.deb "$2.tmp/root"
    mv "$2.tmp/root" "$2" && rm -rf "$2.tmp"
    touch "$2/.unpacked"
}

if [ ! -f kernel/.unpacked ]; then
    package=$(pick_kernel)
    if [ -z "$package" ]; then
        echo "fetch.sh: apt-cache lists no linux-image-6.1.0-*-amd64 (run apt-get update)" >&2
        exit 1
    fi
    unpack "$package" kernel
fi
unpack busybox-static busybox

release=$(ls kernel/lib/modules | sort -V | tail -n 1)
test -f "kernel/boot/vmlinuz-$release"
test -x busybox/bin/busybox
echo "$release"
