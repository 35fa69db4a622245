# The fuzz harnesses, shared by the libFuzzer targets (fuzz/) and the regression replay of
# tests/reliability, which runs them with any compiler. Included from both; defines once.
if(NOT TARGET qxfuzzdevice)
  set(qx_fuzz_dir ${CMAKE_SOURCE_DIR}/fuzz)

  # The device library over the scripted line: qxlib's own sources with the OS seam's port
  # and event services replaced by the in-process script (harness/scripted_line.cpp).
  set(qx_lib_sources)
  foreach(layer ${QX_LIBRARY_LAYERS})
    get_target_property(layer_dir ${layer} SOURCE_DIR)
    get_target_property(layer_sources ${layer} SOURCES)
    list(TRANSFORM layer_sources PREPEND ${layer_dir}/ REGEX "^[^/]")
    list(APPEND qx_lib_sources ${layer_sources})
  endforeach()
  list(FILTER qx_lib_sources EXCLUDE REGEX "/(comm|thread_sync)_posix\\.cpp$")
  add_library(qxfuzzdevice STATIC ${qx_lib_sources}
    ${qx_fuzz_dir}/harness/scripted_line.cpp
    ${qx_fuzz_dir}/harness/device_replies.cpp)
  target_include_directories(qxfuzzdevice PUBLIC ${CMAKE_SOURCE_DIR} ${qx_fuzz_dir}/harness)
  target_link_libraries(qxfuzzdevice PUBLIC Threads::Threads ${CMAKE_DL_LIBS})

  # Image files, the settings file and a network server's stream, on the real platform layer.
  add_library(qxfuzzfiles STATIC
    ${qx_fuzz_dir}/harness/image_inputs.cpp
    ${qx_fuzz_dir}/harness/settings_input.cpp
    ${qx_fuzz_dir}/harness/telnet_input.cpp)
  target_include_directories(qxfuzzfiles PUBLIC ${CMAKE_SOURCE_DIR} ${qx_fuzz_dir}/harness)
  target_link_libraries(qxfuzzfiles PUBLIC qximage qxlauncher)
endif()
