# ZEDADAD.dll: the driver with the win32 system, exporting ZevMain only and
# importing err and Mox5UnCook from the host module DERUDE.
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
set_target_properties(ZEDADAD PROPERTIES PREFIX "" OUTPUT_NAME ZEDADAD)
target_link_options(ZEDADAD PRIVATE -static -static-libgcc -static-libstdc++)
