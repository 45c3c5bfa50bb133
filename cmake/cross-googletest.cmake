# GoogleTest for a cross build: Debian ships the source (package googletest,
# /usr/src/googletest), built here for the target. It stands in for
# find_package(GTest) and provides the names the tests link against.
include(FetchContent)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR /usr/src/googletest OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
