# What other programs use: the library with its SONAME, the header, a CMake
# package (find_package(zedadad) -> zedadad::zedadad) and zedadad.pc.
include(CMakePackageConfigHelpers)

install(TARGETS zedadad EXPORT zedadadTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/zedadad DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(ROVOD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zedadad)
install(EXPORT zedadadTargets NAMESPACE zedadad:: DESTINATION ${ROVOD_CMAKE_DIR})
configure_package_config_file(cmake/zedadadConfig.cmake.in
    ${PROJECT_BINARY_DIR}/zedadadConfig.cmake INSTALL_DESTINATION ${ROVOD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zedadadConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zedadadConfig.cmake ${PROJECT_BINARY_DIR}/zedadadConfigVersion.cmake
        DESTINATION ${ROVOD_CMAKE_DIR})

# The .pc file names the prefix it is installed under (cmake --install
# --prefix, or /usr in the Debian package), so it is written at install time.
set(ROVOD_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(ROVOD_PC_PREFIX @ROVOD_PREFIX@)  # filled in by the second pass below
configure_file(cmake/zedadad.pc.in ${PROJECT_BINARY_DIR}/zedadad.pc.in @ONLY)
install(CODE "
  set(ROVOD_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/zedadad.pc.in\" \"${PROJECT_BINARY_DIR}/pc/zedadad.pc\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/pc/zedadad.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ROVOD_PC_DIR}\")
")
