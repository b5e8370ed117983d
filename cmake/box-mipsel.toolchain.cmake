# 32-bit little-endian MIPS boxes (Debian's g++-mipsel-linux-gnu: MIPS32 release 2,
# hard float).
set(BOX_TRIPLE mipsel-linux-gnu)
set(BOX_QEMU qemu-mipsel-static)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/BoxToolchain.cmake)
