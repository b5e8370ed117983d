#!/bin/sh
# Installs what the box presets (box-ppc, box-armhf, box-mipsel) need from Debian 12,
# as root: the cross compilers, qemu's user-mode emulators, dpkg-source and
# GoogleTest's sources, and a deb-src line for each deb line of the Debian sources, so
# that the build can fetch zlib's and libpng's source packages with apt-get source;
# and for the box program on the box CPUs' own kernels (tests/vm): qemu's MIPS, ARM
# and PowerPC system emulators, cpio, Debian's kernel source and what building it
# needs (kernel.sh).
# With the argument `web`, installs what the web preset needs instead: emscripten, node
# and npm, and for the page's checks Chromium, Firefox ESR and a PulseAudio (a null sink
# as their sound output, recorded), with the same source lines (for ffmpeg's sources).
# Idempotent. The native build's packages (README) are needed as well: the box and web
# builds make the show's content with the native tools.
set -eu

sources=/etc/apt/sources.list.d/demo-deb-src.sources
if [ ! -e "$sources" ]; then
    if [ -e /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$sources"
    else
        cat > "$sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
fi

apt-get update
if [ "${1:-}" = web ]; then
    apt-get install -y --no-install-recommends emscripten nodejs chromium firefox-esr pulseaudio pulseaudio-utils \
        dpkg-dev make
    # npm comes with some builds of node; Debian's node has it as a package of its own.
    command -v npm > /dev/null || apt-get install -y --no-install-recommends npm
else
    apt-get install -y --no-install-recommends \
        g++-powerpc-linux-gnu g++-arm-linux-gnueabihf g++-mipsel-linux-gnu qemu-user-static dpkg-dev googletest make \
        qemu-system-mips qemu-system-arm qemu-system-ppc cpio linux-source-6.1 flex bison bc kmod
fi
