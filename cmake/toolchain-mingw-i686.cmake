# Cross-compiling the 32-bit Windows DLL with Debian's mingw-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ROVOD_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

# Floats on SSE, as on x86-64: the x87 unit keeps intermediates at 80 bits,
# which would round the driver's single-precision timing and value steps
# differently from the Linux build. Every host CPU of this era has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
