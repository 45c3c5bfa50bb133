# Shared by the two MinGW-w64 toolchain files; VORKAND_MINGW_TRIPLE names the target.
# The POSIX thread model: with GCC 12 only it gives std::mutex and
# std::condition_variable (GoogleTest needs them). -static below links its
# thread library in, so no extra DLL is needed.
set(CMAKE_C_COMPILER ${VORKAND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORKAND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORKAND_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VORKAND_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${VORKAND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C and C++ runtime inside, so they need nothing but the
# system's own DLLs (under Wine as on Windows).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
