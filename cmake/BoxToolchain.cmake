# What the two box toolchain files share. They set BOX_TRIPLE (the Debian cross
# compiler's prefix), BOX_QEMU (qemu's user-mode emulator for the CPU, with any options) and
# CMAKE_SYSTEM_PROCESSOR, and may set BOX_EMULATOR_ROOT, the directory the emulator
# takes the target's libraries from (default: Debian's cross sysroot).
set(CMAKE_SYSTEM_NAME Linux)
set(BOX_SYSROOT /usr/${BOX_TRIPLE})
set(CMAKE_C_COMPILER ${BOX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${BOX_TRIPLE}-g++)

# Libraries and headers come from the cross sysroot and from the prefix the box
# dependencies are built into (added by the build); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH ${BOX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built for the box run here under qemu, named explicitly (there is no binfmt
# handler to do it), with -L for the target's libraries.
if(NOT BOX_EMULATOR_ROOT)
  set(BOX_EMULATOR_ROOT ${BOX_SYSROOT})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${BOX_QEMU} -L ${BOX_EMULATOR_ROOT})
