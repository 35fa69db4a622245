# Draws the artwork again and compares it byte for byte with the committed files.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${GENERATOR} ${WORK_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_artwork failed: ${rc}")
endif()
foreach(name splash.bmp quillon.ico)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${name} ${SOURCE_DIR}/${name}
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "${name} differs from what make_artwork draws; run `ninja artwork`")
  endif()
endforeach()
file(SIZE ${SOURCE_DIR}/splash.bmp size)
# 54 bytes of headers, a 256-colour palette, 166 rows of 584 bytes (582 padded to 4).
if(NOT size EQUAL 98022)
  message(FATAL_ERROR "splash.bmp is ${size} bytes, not a 582 x 166 8-bit picture")
endif()
