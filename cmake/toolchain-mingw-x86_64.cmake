# The test-only x86-64 Windows build (Debian's mingw-w64 x86-64): the same
# sources as ZEDADAD.dll, run under native wine64 for fast, wide checks of
# the win32 system. Records take their 64-bit layout here; the host's own
# offsets are checked only where pointers are 32 bits wide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ROVOD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ROVOD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ROVOD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ROVOD_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${ROVOD_MINGW_PREFIX}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${ROVOD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ROVOD_WIN64_TEST ON CACHE BOOL "test-only x86-64 Windows build" FORCE)
