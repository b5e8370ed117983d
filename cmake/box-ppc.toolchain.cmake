# 32-bit big-endian PowerPC boxes (Debian's g++-powerpc-linux-gnu).
set(BOX_TRIPLE powerpc-linux-gnu)
set(BOX_QEMU qemu-ppc-static)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
# Debian's libm for this CPU reads the FPU's status with the POWER9 forms of mffs
# (mffsl, mffscrn[i]); older cores run them as a plain mffs, but qemu's 32-bit cores
# refuse them. The emulator takes the libraries from a copy with those forms written
# as plain mffs, which the build makes (cmake/box-deps); the box itself runs Debian's.
set(BOX_EMULATOR_ROOT ${CMAKE_BINARY_DIR}/box-deps/qemu-root)
include(${CMAKE_CURRENT_LIST_DIR}/BoxToolchain.cmake)
