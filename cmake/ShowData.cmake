# The content built into the program (the 3D models) and the box's file tree: the
# scrambled data file and the logo, from the content the tools make in CONTENT_DIR.
add_library(show_models STATIC)
foreach(model velmaris duck face x29)
  embed_blob(show_models ${model}_bin ${CONTENT_DIR}/${model}.bin)
endforeach()
add_dependencies(show_models content_models)

set(DATA_FILE ${BOX_ROOT}${DEMO_DATA_PATH})
set(LOGO_FILE ${BOX_ROOT}${DEMO_LOGO_PATH})
set(DATA_ITEMS
  ${CONTENT_DIR}/pic0.png ${CONTENT_DIR}/pic1.png ${CONTENT_DIR}/pic2.png ${CONTENT_DIR}/pic3.png
  ${CONTENT_DIR}/prelude.ac3 ${CONTENT_DIR}/main.ac3 ${CONTENT_DIR}/font.png ${CONTENT_DIR}/titles.txt)
add_custom_command(OUTPUT ${DATA_FILE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${BOX_ROOT}/mnt
  COMMAND demo-data build ${DATA_FILE} ${DATA_ITEMS}
  DEPENDS demo-data ${DATA_ITEMS} VERBATIM)
add_custom_command(OUTPUT ${LOGO_FILE}
  COMMAND ${CMAKE_COMMAND} -E copy ${CONTENT_DIR}/logo.png ${LOGO_FILE}
  DEPENDS ${CONTENT_DIR}/logo.png VERBATIM)
add_custom_target(box_tree ALL DEPENDS ${DATA_FILE} ${LOGO_FILE})
add_dependencies(box_tree content)
