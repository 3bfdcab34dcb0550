# A Windows program of Quennet: the icon, a version record and the manifest
# as resources, and no symbols in a release build (the static programs are
# large enough without them).
#   quennet_windows_program(TARGET DESCRIPTION text [GUI])
# GUI makes a windowed program that opens no console.
function(quennet_windows_program target)
  cmake_parse_arguments(ARG "GUI" "DESCRIPTION" "" ${ARGN})
  set(QUENNET_TARGET ${target})
  set(QUENNET_DESCRIPTION "${ARG_DESCRIPTION}")
  set(QUENNET_ICON "${PROJECT_SOURCE_DIR}/src/app/icons/quennet.ico")
  set(QUENNET_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest")
  set(QUENNET_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  string(REPLACE "." "," QUENNET_VERSION_COMMAS "${QUENNET_VERSION_QUAD}")
  configure_file(${PROJECT_SOURCE_DIR}/src/app/win32/quennet.manifest ${QUENNET_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/src/app/win32/quennet.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  if(ARG_GUI)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE TRUE)
  endif()
  target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
