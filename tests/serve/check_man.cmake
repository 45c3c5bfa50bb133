# The manual page documents exactly the options that --help lists: each
# option of --help has an entry under OPTIONS, and each entry there is an
# option of --help.
# cmake -DTOOL=vorkand-serve -DMAN=vorkand-serve.8.scd -P check_man.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed")
endif()
string(REGEX MATCHALL "\n  (-[A-Za-z],)?--[a-z][-a-z]*" listed "${help}")
string(REGEX REPLACE "\n  (-[A-Za-z],)?" "" listed "${listed}")

file(READ ${MAN} man)
string(REGEX REPLACE ".*\n# OPTIONS\n" "" options_section "${man}")
string(REGEX REPLACE "\n# .*" "" options_section "${options_section}")
string(REGEX MATCHALL "\n(\\*-[A-Za-z]\\*, )?\\*--[a-z][-a-z]*\\*" documented "\n${options_section}")
string(REGEX REPLACE "\n(\\*-[A-Za-z]\\*, )?\\*(--[a-z][-a-z]*)\\*" "\\2" documented "${documented}")

set(missing "")
foreach(option IN LISTS listed)
  if(NOT option IN_LIST documented)
    list(APPEND missing "man page lacks ${option}")
  endif()
endforeach()
foreach(option IN LISTS documented)
  if(NOT option IN_LIST listed)
    list(APPEND missing "--help lacks ${option}")
  endif()
endforeach()
if(missing OR NOT listed)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "vorkand-serve(8) and --help differ:\n  ${missing}")
endif()
message(STATUS "vorkand-serve(8) documents the options of --help: ${listed}")
