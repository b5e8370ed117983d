# embed_blob(TARGET NAME FILE [WRITABLE])
# Links FILE into TARGET as _binary_<NAME>_start / _end / _size, the names a
# `ld -b binary` link would give. WRITABLE puts it in .data (the program changes it
# in place), otherwise it goes to .rodata. The assembly is the same for every CPU
# (%progbits, as "@" starts a comment on ARM).
function(embed_blob TARGET NAME FILE)
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
