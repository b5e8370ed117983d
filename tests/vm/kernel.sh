#!/bin/sh
# Builds a small 6.1 kernel for a box CPU from Debian's linux-source-6.1 with Debian's
# cross compiler: allnoconfig with kernel.config and kernel-ARCH.config on top. The
# source is unpacked once into SRC (shared by the CPUs), the objects go to
# GUEST/kernel-obj, and GUEST/kernel gets boot/vmlinuz-RELEASE and lib/modules/RELEASE,
# the layout of Debian's own kernel packages. A second run with the same source
# version, fragments and compiler builds nothing. Prints the kernel's release.
#
#   kernel.sh ARCH GUEST SRC        ARCH (Debian's name): armhf or powerpc
#
# Needs linux-source-6.1, the cross compiler, flex, bison, bc and kmod (depmod).
set -eu
arch=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$2" "$3"
guest=$(cd "$2" && pwd) src=$(cd "$3" && pwd)
case $arch in
    armhf) karch=arm cross=arm-linux-gnueabihf- image=arch/arm/boot/zImage ;;
    powerpc) karch=powerpc cross=powerpc-linux-gnu- image=vmlinux ;;
    *) echo "kernel.sh: no kernel for '$arch' (armhf, powerpc)" >&2; exit 2 ;;
esac
tarball=/usr/src/linux-source-6.1.tar.xz
if [ ! -f "$tarball" ]; then
    echo "kernel.sh: $tarball is missing (apt-get install linux-source-6.1)" >&2
    exit 1
fi
version=$(dpkg-query -W -f '${Version}' linux-source-6.1)
key=$({ echo "$version"; cat "$here/kernel.config" "$here/kernel-$arch.config"
        "${cross}gcc" --version | head -n 1; } | sha256sum | cut -c 1-16)
if [ -f "$guest/kernel/.key" ] && [ "$(cat "$guest/kernel/.key")" = "$key" ]; then
    ls "$guest/kernel/lib/modules"
    exit 0
fi

# The source, once for all CPUs (two builds may start together).
tree=$src/linux-source-6.1
(
    flock 9
    if [ "$(cat "$src/.version" 2> /dev/null)" != "$version" ]; then
        rm -rf "$tree" "$src/.version"
        tar -xf "$tarball" -C "$src"
        echo "$version" > "$src/.version"
    fi
) 9> "$src/.lock"

# Fixed build stamps: the same source and fragments give the same kernel.
KBUILD_BUILD_TIMESTAMP=$(date -u -R -r "$tarball")
export KBUILD_BUILD_TIMESTAMP KBUILD_BUILD_USER=demo KBUILD_BUILD_HOST=vm
cc=${cross}gcc
if command -v ccache > /dev/null; then cc="ccache $cc"; fi
obj=$guest/kernel-obj
kmake() {
    make -C "$tree" O="$obj" ARCH=$karch CROSS_COMPILE=$cross CC="$cc" "$@"
}
mkdir -p "$obj"
cat "$here/kernel.config" "$here/kernel-$arch.config" > "$obj/fragment.config"
kmake -s KCONFIG_ALLCONFIG="$obj/fragment.config" allnoconfig
# Every line of the fragments must have come through (a missing dependency drops a
# symbol without a word).
missing=$(grep '^CONFIG_' "$obj/fragment.config" | grep -vxF -f "$obj/.config" || true)
if [ -n "$missing" ]; then
    echo "kernel.sh: the configuration lost these settings:" >&2
    echo "$missing" >&2
    exit 1
fi
kmake -j2 -s "$(basename "$image")" modules
release=$(kmake -s kernelrelease)
rm -rf "$guest/kernel"
mkdir -p "$guest/kernel/boot"
kmake -s INSTALL_MOD_PATH="$guest/kernel" INSTALL_MOD_STRIP=1 DEPMOD=/sbin/depmod modules_install
cp "$obj/$image" "$guest/kernel/boot/vmlinuz-$release"
echo "$key" > "$guest/kernel/.key"
echo "$release"
