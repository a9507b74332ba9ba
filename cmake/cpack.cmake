# cpack -G DEB (Linux): library, header, CMake and pkg-config files, tools and
# their man pages, installed under /usr. The mingw build makes a zip instead:
# ZEDADAD.dll, the command-line host DERUDE.exe, a sample ROVOD.INT and
# DEPLOY.txt, all in one folder as they are deployed.
set(CPACK_PACKAGE_NAME rovod)
set(CPACK_PACKAGE_VENDOR "ROVOD")
set(CPACK_PACKAGE_CONTACT "ROVOD developers <rovod@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEDADAD serial driver for process controllers, with simulator and command-line host")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zedadad-${PROJECT_VERSION}-win32)
  install(FILES packaging/windows/ROVOD.INT packaging/windows/DEPLOY.txt DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # shlibs and the ldconfig trigger for libzedadad.so.0
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
include(CPack)
