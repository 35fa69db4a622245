# Writes OUT with the commit of SOURCE_DIR's work tree (empty when it is no git work tree of
# its own, e.g. an unpacked source archive), rewriting it only when it changed, so an
# unchanged commit rebuilds nothing.
set(commit "")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --show-toplevel --short=10 HEAD
                  OUTPUT_VARIABLE answer RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  string(REPLACE "\n" ";" answer "${answer}")
  list(LENGTH answer n)
  if(rc EQUAL 0 AND n EQUAL 2)
    list(GET answer 0 top)
    file(REAL_PATH ${top} top)
    file(REAL_PATH ${SOURCE_DIR} source)
    if(top STREQUAL source)
      list(GET answer 1 commit)
      execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE changes ERROR_QUIET)
      if(NOT changes STREQUAL "")
        string(APPEND commit "-dirty")
      endif()
    endif()
  endif()
endif()
set(text "// Written by resources/commit.cmake at build time.\n#pragma once\n#define QX_COMMIT \"${commit}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE ${OUT} "${text}")
