# Cross build for 64-bit Windows with Debian's MinGW-w64. Test programs run
# under 64-bit Wine through the wrapper below, in a Wine prefix of the build's
# own (build/<preset>/wineprefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORKAND_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../wine-run ${CMAKE_BINARY_DIR}/wineprefix)
