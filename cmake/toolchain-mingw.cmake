# What both mingw-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and ROVOD_MINGW_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)
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
