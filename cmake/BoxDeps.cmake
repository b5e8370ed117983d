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

# A web build (emscripten) also makes libavcodec's AC-3 decoder, and needs the archiver
# that indexes WebAssembly objects.
set(WEB_FFMPEG_SOURCE "ffmpeg=7:5.1.9-0+deb12u1" CACHE STRING "Debian source package of the page's AC-3 decoder")
set(web_args "")
if(EMSCRIPTEN)
  set(web_args -DFFMPEG_SOURCE=${WEB_FFMPEG_SOURCE} -DBOX_AR=${CMAKE_AR} -DBOX_RANLIB=${CMAKE_RANLIB})
endif()

set(qemu_root "")
if(NOT BOX_EMULATOR_ROOT STREQUAL BOX_SYSROOT)
  set(qemu_root ${BOX_EMULATOR_ROOT})
endif()
file(MAKE_DIRECTORY ${BOX_DEPS_DIR})
set(log ${BOX_DEPS_DIR}/build.log)
message(STATUS "Box dependencies: ${BOX_ZLIB_SOURCE}, ${BOX_PNG_SOURCE} in ${BOX_DEPS_DIR} (log: ${log})")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/box-deps -B ${BOX_DEPS_DIR}/build -G ${CMAKE_GENERATOR}
    -DBOX_CC=${CMAKE_C_COMPILER} -DBOX_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DBOX_SYSROOT=${BOX_SYSROOT}
    -DPREFIX=${BOX_DEPS_DIR}/prefix -DZLIB_SOURCE=${BOX_ZLIB_SOURCE} -DPNG_SOURCE=${BOX_PNG_SOURCE}
    -DQEMU_ROOT=${qemu_root} ${web_args}
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

if(EMSCRIPTEN)
  # The show and the emulated box speak the kernel's framebuffer and OSS requests, and
  # emscripten's C library has no kernel headers: the build machine's (Debian's
  # linux-libc-dev) stand in, with the generic asm/ ones (the page is a 32-bit target).
  set(kernel_include ${BOX_DEPS_DIR}/kernel-include)
  file(COPY /usr/include/linux /usr/include/asm-generic DESTINATION ${kernel_include})
  file(COPY /usr/include/asm-generic/ DESTINATION ${kernel_include}/asm)
  include_directories(SYSTEM ${kernel_include})
endif()
