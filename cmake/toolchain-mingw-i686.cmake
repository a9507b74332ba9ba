# Cross-compiling the 32-bit Windows DLL with Debian's mingw-w64 (i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ROVOD_MINGW_PREFIX i686-w64-mingw32)
# The posix thread model for both languages, so C and C++ objects agree
# (std::thread and std::mutex need it); the runtime is linked statically.
set(CMAKE_C_COMPILER ${ROVOD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ROVOD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ROVOD_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${ROVOD_MINGW_PREFIX}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${ROVOD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Floats on SSE, as on x86-64: the x87 unit keeps intermediates at 80 bits,
# which would round the driver's single-precision timing and value steps
# differently from the Linux build. Every host CPU of this era has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
