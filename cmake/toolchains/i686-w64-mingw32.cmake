# Cross build for 32-bit Windows with Debian's MinGW-w64. 32-bit Wine cannot
# run on this kind of machine (the kernel has no 32-bit emulation), so nothing
# built here is run: the DLL's exports and the import library are checked on
# Linux, and the test programs only have to compile and link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VORKAND_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
