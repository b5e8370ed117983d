#!/bin/sh
# Builds busybox the way Debian builds busybox-static (its source package, its
# `static` configuration) with the cross compiler for ARCH, for a guest whose
# architecture Debian 12 has no busybox-static of (powerpc): GUEST/busybox/bin/busybox.
# The source comes from apt-get source (deb-src lines: cmake/box-packages.sh) into
# GUEST/busybox-src. A second run builds nothing.
#
#   busybox.sh ARCH GUEST        ARCH (Debian's name): powerpc
set -eu
arch=$1
mkdir -p "$2"
guest=$(cd "$2" && pwd)
case $arch in
    powerpc) cross=powerpc-linux-gnu- ;;
    *) echo "busybox.sh: no cross compiler for '$arch' (powerpc)" >&2; exit 2 ;;
esac
if [ -f "$guest/busybox/.built" ]; then exit 0; fi

work=$guest/busybox-src
rm -rf "$work" && mkdir -p "$work"
(cd "$work" && apt-get source -q -o APT::Sandbox::User=root busybox > /dev/null)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*')
obj=$work/obj
mkdir -p "$obj"
# Debian's recipe: the OS's overrides, then the flavour's configuration, sorted out by
# oldconfig (debian/rules, configure).
cat "$src/debian/config/os/linux" "$src/debian/config/pkg/static" > "$obj/.config"
yes "" | make -s -C "$obj" -f "$src/Makefile" KBUILD_SRC="$src" silentoldconfig > /dev/null
make -s -C "$obj" -j2 CROSS_COMPILE="$cross" all > /dev/null
mkdir -p "$guest/busybox/bin"
cp "$obj/busybox" "$guest/busybox/bin/busybox"
touch "$guest/busybox/.built"
