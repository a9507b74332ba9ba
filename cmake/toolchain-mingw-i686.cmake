# Cross-compiling the 32-bit Windows DLL with Debian's mingw-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ROVOD_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

# Floats on SSE, as on x86-64: the x87 unit keeps intermediates at 80 bits,
# which would round the driver's single-precision timing and value steps
# differently from the Linux build. Every host CPU of this era has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# The header names Windows 2000 as the oldest system, set here rather than
# left to the linker's default; tests/windows/check_win_api.sh checks it.
set(ROVOD_MINGW_VERSION_FLAGS
    "-Wl,--major-os-version,5,--minor-os-version,0,--major-subsystem-version,5,--minor-subsystem-version,0")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${ROVOD_MINGW_VERSION_FLAGS})
set(CMAKE_EXE_LINKER_FLAGS_INIT ${ROVOD_MINGW_VERSION_FLAGS})
