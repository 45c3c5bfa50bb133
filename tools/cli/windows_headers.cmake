# Cross builds for Windows: fmt (header-only) and CLI11 from the build
# machine's own headers (Debian's libfmt-dev and libcli11-dev), without the
# rest of its include directory.
set(VORKAND_HOST_INCLUDE_DIR /usr/include CACHE PATH "where the build machine's fmt/ and CLI/ are")
set(vorkand_host_headers ${CMAKE_CURRENT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${vorkand_host_headers})
foreach(dir fmt CLI)
  if(NOT EXISTS ${VORKAND_HOST_INCLUDE_DIR}/${dir})
    message(FATAL_ERROR "${VORKAND_HOST_INCLUDE_DIR}/${dir} is missing: scripts/deps windows")
  endif()
  file(CREATE_LINK ${VORKAND_HOST_INCLUDE_DIR}/${dir} ${vorkand_host_headers}/${dir} SYMBOLIC)
endforeach()
add_library(fmt::fmt INTERFACE IMPORTED GLOBAL)
set_target_properties(fmt::fmt PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${vorkand_host_headers}
                      INTERFACE_INCLUDE_DIRECTORIES ${vorkand_host_headers}
                      INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_LINK_LIBRARIES fmt::fmt)
