# cmake -DBUILD=DIR -DOBJDUMP=PROGRAM -DFILES=PATH;... -DWORK=DIR -P CheckBoxPackage.cmake
#
# Packs the box build in BUILD with CPack, unpacks the tarball into WORK as it would be
# at the box's root, and checks that it holds exactly FILES (paths from the root), each
# the same as in the build's box tree, and a demo that needs no dynamic linker.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root)
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${BUILD}/CPackConfig.cmake -B ${WORK}
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB tarball ${WORK}/demo-*.tar.gz)
list(LENGTH tarball count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "CPack made ${count} tarballs: ${tarball}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${tarball} WORKING_DIRECTORY ${WORK}/root COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE unpacked LIST_DIRECTORIES false RELATIVE ${WORK}/root ${WORK}/root/*)
list(SORT unpacked)
set(expected ${FILES})
list(TRANSFORM expected REPLACE "^/" "")
list(SORT expected)
if(NOT unpacked STREQUAL expected)
  message(FATAL_ERROR "The package holds ${unpacked}, not ${expected}")
endif()

foreach(path IN LISTS FILES)
  if(path MATCHES "/demo$")
    execute_process(COMMAND ${OBJDUMP} -p ${WORK}/root${path} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
    if(headers MATCHES "INTERP")
      message(FATAL_ERROR "${path} needs a dynamic linker")
    endif()
  else()
    file(SHA256 ${WORK}/root${path} packed)
    file(SHA256 ${BUILD}/box${path} built)
    if(NOT packed STREQUAL built)
      message(FATAL_ERROR "${path} in the package is not the build's")
    endif()
  endif()
endforeach()
message(STATUS "${tarball}: ${unpacked}")
