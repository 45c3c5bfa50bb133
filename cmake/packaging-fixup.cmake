# Run by cpack after each component is installed into its staging directory,
# before it is packed: what Debian's helpers do to every package.
# - Shared objects are not executable (dh_fixperms).
# - Man pages are compressed with gzip -9n, links follow them (dh_compress).
file(GLOB_RECURSE shared_objects LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.so"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.so.*")
foreach(object IN LISTS shared_objects)
  if(NOT IS_SYMLINK "${object}")
    file(CHMOD "${object}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
set(pages ${files})
list(FILTER pages INCLUDE REGEX "/share/man/")
list(FILTER pages EXCLUDE REGEX "\\.gz$")
foreach(page IN LISTS pages)
  if(IS_SYMLINK "${page}")
    file(READ_SYMLINK "${page}" target)
    file(REMOVE "${page}")
    file(CREATE_LINK "${target}.gz" "${page}.gz" SYMBOLIC)
  else()
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${page}")
    endif()
  endif()
endforeach()
