# What both mingw-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and ROVOD_MINGW_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)
# The win32 thread model for both languages, so C and C++ objects agree. Its
# runtime, linked statically, calls only what Windows 2000 has; the posix
# model links winpthreads, which imports GetTickCount64 (Vista) and
# AddVectoredExceptionHandler (XP), and the DLL would not load on XP. It
# lacks std::thread and std::mutex, which nothing built for Windows uses.
set(CMAKE_C_COMPILER ${ROVOD_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ROVOD_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${ROVOD_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${ROVOD_MINGW_PREFIX}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${ROVOD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
