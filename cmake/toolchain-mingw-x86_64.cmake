# The test-only x86-64 Windows build (Debian's mingw-w64 x86-64): the same
# sources as ZEDADAD.dll, run under native wine64 for fast, wide checks of
# the win32 system. Records take their 64-bit layout here; the host's own
# offsets are checked only where pointers are 32 bits wide.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ROVOD_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
set(ROVOD_WIN64_TEST ON CACHE BOOL "test-only x86-64 Windows build" FORCE)
