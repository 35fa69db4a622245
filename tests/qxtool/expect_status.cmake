# cmake -DEMULATOR=wine -DEXE=qxtool.exe -DARGS="a|b|c" -DSTATUS=n -P expect_status.cmake
# Runs the program (through the emulator, if any) and fails unless it exits with STATUS.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${EXE} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL STATUS)
  message(FATAL_ERROR "exit status ${rc}, expected ${STATUS}\nstdout:\n${out}\nstderr:\n${err}")
endif()
message("${err}")
