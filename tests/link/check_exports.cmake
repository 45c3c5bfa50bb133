# Checks that the shared library's dynamic symbol table defines exactly the
# eleven exports. Run with -DLIBRARY=<path> -DNM=<nm>.
set(expected CT_close CT_open CT_reset DesDecrypt DesEncrypt ICC_command ICC_commandS ICC_reset
             ICC_resetS ICC_tsi_api ICC_tsi_apiS)
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE table
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(defined "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@@version]"; type A is the version node itself.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@ ]+)")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND defined ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()
list(SORT defined)
list(SORT expected)
if(NOT defined STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  found:    ${defined}")
endif()
message(STATUS "exactly the expected exports: ${defined}")
