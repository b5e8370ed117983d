# embed_blob(TARGET NAME FILE [WRITABLE])
# Links FILE into TARGET as _binary_<NAME>_start / _end / _size, the names a
# `ld -b binary` link would give. WRITABLE puts it in .data (the program changes it
# in place), otherwise it goes to .rodata. The assembly is the same for every CPU
# (%progbits, as "@" starts a comment on ARM).
#
# WebAssembly's assembler has no .incbin: there FILE becomes a C array, and only
# _binary_<NAME>_start exists. Run as a script (cmake -DFILE= -DNAME= -DQUALIFIER=
# -DOUT= -P EmbedBlob.cmake), this file writes that array.
if(CMAKE_SCRIPT_MODE_FILE)
  file(READ ${FILE} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  file(WRITE ${OUT} "${QUALIFIER} unsigned char _binary_${NAME}_start[] = {${bytes}};\n")
  return()
endif()

function(embed_blob TARGET NAME FILE)
  if(EMSCRIPTEN)
    set(qualifier const)
    if(ARGN STREQUAL "WRITABLE")
      set(qualifier "")
    endif()
    set(source ${CMAKE_CURRENT_BINARY_DIR}/blob_${NAME}.c)
    add_custom_command(OUTPUT ${source}
      COMMAND ${CMAKE_COMMAND} -DFILE=${FILE} -DNAME=${NAME} -DQUALIFIER=${qualifier} -DOUT=${source}
        -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      DEPENDS ${FILE} ${CMAKE_CURRENT_FUNCTION_LIST_FILE} VERBATIM)
    target_sources(${TARGET} PRIVATE ${source})
    return()
  endif()
  set(section ".section .rodata")
  if(ARGN STREQUAL "WRITABLE")
    set(section ".data")
  endif()
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/blob_${NAME}.S)
  file(WRITE ${asm}.in
"\t${section}
\t.global _binary_${NAME}_start
\t.global _binary_${NAME}_end
\t.global _binary_${NAME}_size
_binary_${NAME}_start:
\t.incbin \"${FILE}\"
_binary_${NAME}_end:
\t.set _binary_${NAME}_size, _binary_${NAME}_end - _binary_${NAME}_start
\t.section .note.GNU-stack,\"\",%progbits
")
  configure_file(${asm}.in ${asm} COPYONLY)
  set_source_files_properties(${asm} PROPERTIES OBJECT_DEPENDS ${FILE})
  target_sources(${TARGET} PRIVATE ${asm})
endfunction()
