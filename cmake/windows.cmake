# ZEDADAD.dll: the driver with the win32 system, exporting ZevMain only and
# importing err and Mox5UnCook from the host module DERUDE.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT ROVOD_WIN64_TEST)
  # The host is a 32-bit program; the record offsets hold only there. The
  # x86-64 build (the mingw64 preset) exists only to test the win32 system.
  message(FATAL_ERROR "ZEDADAD.dll is a 32-bit DLL: use cmake/toolchain-mingw-i686.cmake (the mingw preset)")
endif()
# A folder first configured with the posix model keeps that compiler, since
# CMake reads the toolchain's choice only once.
if(NOT CMAKE_CXX_COMPILER MATCHES "-win32$" OR NOT CMAKE_C_COMPILER MATCHES "-win32$")
  message(FATAL_ERROR "${PROJECT_BINARY_DIR} was configured with ${CMAKE_CXX_COMPILER}, but the Windows build "
                      "needs the win32 thread model (cmake/toolchain-mingw.cmake): configure it again with --fresh")
endif()
set(ROVOD_WIN_DIR ${PROJECT_SOURCE_DIR}/src/platform/win32)

# Import library for the host's two functions, made from a module definition.
set(ROVOD_DERUDE_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libDERUDE.a)
add_custom_command(
  OUTPUT ${ROVOD_DERUDE_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} -d ${ROVOD_WIN_DIR}/DERUDE.def -l ${ROVOD_DERUDE_IMPLIB}
  DEPENDS ${ROVOD_WIN_DIR}/DERUDE.def
  COMMENT "Import library for DERUDE (err, Mox5UnCook)")
add_custom_target(derude_implib DEPENDS ${ROVOD_DERUDE_IMPLIB})

add_library(ZEDADAD SHARED ${ROVOD_WIN_DIR}/ZEDADAD.def)
target_link_libraries(ZEDADAD PRIVATE zedadad_core zedadad_platform ${ROVOD_DERUDE_IMPLIB} winmm)
add_dependencies(ZEDADAD derude_implib)
# No "lib" prefix: the host loads ZEDADAD.dll by that name at run time (the
# import library CMake makes beside it is not installed; nothing links to it).
set_target_properties(ZEDADAD PROPERTIES PREFIX "" OUTPUT_NAME ZEDADAD)
# The C++ runtime goes in statically, so the DLL needs only the system's
# own DLLs (KERNEL32, msvcrt, WINMM). Release builds are stripped.
target_link_options(ZEDADAD PRIVATE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
# Flat, as deployed: the DLL beside the host.
install(FILES $<TARGET_FILE:ZEDADAD> DESTINATION .)

# The test host that drives the DLL under Wine (tests/windows/run_wine.sh).
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests/windows)
endif()
