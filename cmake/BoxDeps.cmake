# A build for a box CPU (a box toolchain file from this folder): makes, when it is
# configured, the static zlib and libpng it links (from Debian 12's source packages,
# pinned to the versions bookworm ships) and the emulator's library directory, all
# under BOX_DEPS_DIR; then lets find_package find the libraries there. The first
# configure takes a minute; later ones find everything made.
#
# apt-get source needs a deb-src line: cmake/box-packages.sh adds one.
set(BOX_ZLIB_SOURCE "zlib=1:1.2.13.dfsg-1" CACHE STRING "Debian source package of the box's zlib")
set(BOX_PNG_SOURCE "libpng1.6=1.6.39-2+deb12u5" CACHE STRING "Debian source package of the box's libpng")
set(BOX_DEPS_DIR ${CMAKE_BINARY_DIR}/box-deps)

set(qemu_root "")
if(NOT BOX_EMULATOR_ROOT STREQUAL BOX_SYSROOT)
  set(qemu_root ${BOX_EMULATOR_ROOT})
endif()
set(log ${BOX_DEPS_DIR}/build.log)
message(STATUS "Box dependencies: ${BOX_ZLIB_SOURCE}, ${BOX_PNG_SOURCE} in ${BOX_DEPS_DIR} (log: ${log})")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/box-deps -B ${BOX_DEPS_DIR}/build -G ${CMAKE_GENERATOR}
    -DBOX_CC=${CMAKE_C_COMPILER} -DBOX_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DBOX_SYSROOT=${BOX_SYSROOT}
    -DPREFIX=${BOX_DEPS_DIR}/prefix -DZLIB_SOURCE=${BOX_ZLIB_SOURCE} -DPNG_SOURCE=${BOX_PNG_SOURCE}
    -DQEMU_ROOT=${qemu_root}
  COMMAND_ERROR_IS_FATAL ANY OUTPUT_FILE ${log} ERROR_FILE ${log})
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BOX_DEPS_DIR}/build
  RESULT_VARIABLE failed OUTPUT_FILE ${log} ERROR_FILE ${log})
if(failed)
  file(STRINGS ${log} lines REGEX "(E:|rror)")
  list(JOIN lines "\n" lines)
  message(FATAL_ERROR "Building the box dependencies failed (${log}):\n${lines}\n"
    "Are the packages cmake/box-packages.sh installs there, and the source lines it adds?")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${BOX_DEPS_DIR}/prefix)
