# The box's file tree, as install component `box`: the program and everything the show
# opens, at the paths it opens them, relative to the box's root. With the box presets'
# install prefix "/":
#   DESTDIR=/tmp/box cmake --install build/box-ppc --component box
# lays it out under /tmp/box, and `cpack --preset box-ppc` packs it as
# demo-<version>-<cpu>.tar.gz, to unpack at the box's root.
set(DEMO_BOX_PROGRAM_DIR mnt CACHE STRING "Where the program goes on the box, relative to its root")
string(REGEX REPLACE "^/" "" data_dir ${DEMO_DATA_PATH})
string(REGEX REPLACE "^/" "" logo_dir ${DEMO_LOGO_PATH})
get_filename_component(data_dir ${data_dir} DIRECTORY)
get_filename_component(logo_dir ${logo_dir} DIRECTORY)

install(TARGETS demo RUNTIME DESTINATION ${DEMO_BOX_PROGRAM_DIR} COMPONENT box)
set(BOX_PACKAGE_FILES /${DEMO_BOX_PROGRAM_DIR}/demo ${DEMO_DATA_PATH} ${DEMO_LOGO_PATH})
install(FILES ${BOX_ROOT}${DEMO_DATA_PATH} DESTINATION ${data_dir} COMPONENT box)
install(FILES ${BOX_ROOT}${DEMO_LOGO_PATH} DESTINATION ${logo_dir} COMPONENT box)

set(DEMO_CPU ${CMAKE_SYSTEM_PROCESSOR} CACHE STRING "The CPU named in the package's file name")
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME demo)
set(BOX_PACKAGE_NAME demo-${PROJECT_VERSION}-${DEMO_CPU})
set(CPACK_PACKAGE_FILE_NAME ${BOX_PACKAGE_NAME})
# Only the box component, with paths from the box's root and no folder around them.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};box;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
