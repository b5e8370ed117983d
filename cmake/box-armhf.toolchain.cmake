# 32-bit ARM boxes, hard-float ABI (Debian's g++-arm-linux-gnueabihf). Their char is
# unsigned.
set(BOX_TRIPLE arm-linux-gnueabihf)
set(BOX_QEMU qemu-arm-static)
set(CMAKE_SYSTEM_PROCESSOR armhf)
include(${CMAKE_CURRENT_LIST_DIR}/BoxToolchain.cmake)
