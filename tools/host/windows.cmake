# DERUDE.exe: the command-line host for Windows. The driver imports err and
# Mox5UnCook from a module named DERUDE.exe, so this program carries that
# name and exports both (rovod_hostlib's imports.cpp marks them dllexport).
# It sits next to ZEDADAD.dll in the build tree, as the DLL is deployed
# beside the host.
file(GLOB ROVOD_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
list(FILTER ROVOD_HOST_SOURCES EXCLUDE REGEX "_posix\\.cpp$")

# CLI11 and nlohmann-json are header-only Debian packages under /usr/include;
# only their two directories are offered, never /usr/include itself, whose
# glibc headers would shadow mingw's.
set(ROVOD_HOST_THIRD_PARTY ${CMAKE_CURRENT_BINARY_DIR}/third_party)
file(MAKE_DIRECTORY ${ROVOD_HOST_THIRD_PARTY})
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: install libcli11-dev and nlohmann-json3-dev")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${ROVOD_HOST_THIRD_PARTY}/${dir} SYMBOLIC)
endforeach()

add_executable(DERUDE ${ROVOD_HOST_SOURCES})
target_include_directories(DERUDE PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(DERUDE PRIVATE rovod_hostlib)
target_include_directories(DERUDE SYSTEM PRIVATE ${ROVOD_HOST_THIRD_PARTY})
# The runtime goes in statically: the program needs only the system's DLLs.
target_link_options(DERUDE PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(DERUDE PROPERTIES
    OUTPUT_NAME DERUDE
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
# The COM names come from the registry's device map.
target_link_libraries(DERUDE PRIVATE advapi32)
target_compile_definitions(DERUDE PRIVATE ROVOD_HAVE_PORTS=1)
add_dependencies(DERUDE ZEDADAD)
install(TARGETS DERUDE RUNTIME DESTINATION .)
