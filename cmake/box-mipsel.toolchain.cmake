# 32-bit little-endian MIPS boxes (Debian's g++-mipsel-linux-gnu: MIPS32 release 2,
# hard float). The tests run on a 74Kf, a core with the DSP extension, so that they
# take both of the frame code's ways on MIPS.
set(BOX_TRIPLE mipsel-linux-gnu)
set(BOX_QEMU qemu-mipsel-static -cpu 74Kf)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/BoxToolchain.cmake)
