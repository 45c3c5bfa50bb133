# The tool is a client of the shared library: it holds no copy of the
# library's card or link layer (no vorkand::card / vorkand::link symbol, no
# protocol byte of its own) and needs libvorkand.so.1 at run time.
# cmake -DTOOL=<vorkand> -DNM=<nm> -DREADELF=<readelf> -P check_client.cmake
execute_process(COMMAND ${NM} -C ${TOOL} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} ${TOOL} failed")
endif()
foreach(needle vorkand::card vorkand::link g_protocol_byte)
  string(FIND "${symbols}" "${needle}" at)
  if(NOT at EQUAL -1)
    string(SUBSTRING "${symbols}" ${at} 120 sample)
    message(FATAL_ERROR "the tool holds its own copy of library internals: ${sample}")
  endif()
endforeach()
execute_process(COMMAND ${READELF} -d ${TOOL} OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "libvorkand\\.so\\.1")
  message(FATAL_ERROR "the tool does not load libvorkand.so.1")
endif()
