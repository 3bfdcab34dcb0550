# The Windows packages of a Windows build (make windows-package):
#   quennet-<version>-win64.zip        quennet.exe, quennet-flash.exe, README.txt, LICENSE.txt
#   quennet-<version>-win64-setup.exe  the same as a per-user installer (NSIS)
# Both are written to the build folder by the target windows_package.
find_program(QUENNET_MAKENSIS makensis)
set(QUENNET_PACKAGE_NAME quennet-${PROJECT_VERSION}-win64)
set(QUENNET_STAGE ${CMAKE_BINARY_DIR}/${QUENNET_PACKAGE_NAME})
set(QUENNET_ZIP ${CMAKE_BINARY_DIR}/${QUENNET_PACKAGE_NAME}.zip)
set(QUENNET_SETUP ${CMAKE_BINARY_DIR}/${QUENNET_PACKAGE_NAME}-setup.exe)

if(QUENNET_MAKENSIS)
  set(QUENNET_MAKE_SETUP ${QUENNET_MAKENSIS} -V2 -NOCD
    -DVERSION=${PROJECT_VERSION} -DSTAGE=${QUENNET_STAGE}
    -DICON=${PROJECT_SOURCE_DIR}/src/app/icons/quennet.ico -DOUTFILE=${QUENNET_SETUP}
    ${PROJECT_SOURCE_DIR}/packaging/windows/quennet.nsi)
else()
  set(QUENNET_MAKE_SETUP sh -c
    "echo 'makensis is missing (Debian package nsis): bash tools/install-deps.sh windows' >&2; exit 1")
endif()

# Text files get Windows line ends, so that any editor shows them whole.
add_custom_target(windows_package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QUENNET_STAGE} ${QUENNET_ZIP} ${QUENNET_SETUP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUENNET_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quennet> $<TARGET_FILE:quennet-flash> ${QUENNET_STAGE}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md -DOUT=${QUENNET_STAGE}/README.txt
    -P ${PROJECT_SOURCE_DIR}/packaging/windows/crlf.cmake
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/LICENSE -DOUT=${QUENNET_STAGE}/LICENSE.txt
    -P ${PROJECT_SOURCE_DIR}/packaging/windows/crlf.cmake
  COMMAND ${CMAKE_COMMAND} -E tar cf ${QUENNET_ZIP} --format=zip ${QUENNET_PACKAGE_NAME}
  COMMAND ${QUENNET_MAKE_SETUP}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS quennet quennet-flash
  COMMENT "Packing ${QUENNET_PACKAGE_NAME}.zip and ${QUENNET_PACKAGE_NAME}-setup.exe"
  VERBATIM)
