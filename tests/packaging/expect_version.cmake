# cmake -DEXE=path -DNAME=qxtool -DVERSION=1.83 -P expect_version.cmake
# `EXE --version` exits 0 and prints exactly "NAME VERSION", maybe with the commit, and
# nothing else (a launcher that went on to search for hardware would print more).
execute_process(COMMAND ${EXE} --version RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 20)
string(REPLACE "." "\\." version "${VERSION}")
if(NOT rc EQUAL 0 OR NOT err STREQUAL ""
   OR NOT out MATCHES "^${NAME} ${version}( \\(commit [0-9a-f]+(-dirty)?\\))?\n$")
  message(FATAL_ERROR "${EXE} --version: status ${rc}\nstdout:\n${out}\nstderr:\n${err}")
endif()
message("${out}")
