# Cross build for 32-bit Windows with Debian's MinGW-w64. Test programs run
# under 32-bit Wine, itself under QEMU's user mode (this kind of kernel cannot
# execute 32-bit code), through the wrapper below, in a Wine prefix of the
# build's own (build/<preset>/wineprefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VORKAND_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../wine32-run ${CMAKE_BINARY_DIR}/wineprefix)
