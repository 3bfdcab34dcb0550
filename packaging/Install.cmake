# Install rules and the Debian package. `cmake --install <build>` lays out
# the programs, their manual pages, the desktop entry, the icons and the
# documents under the prefix; `cpack -G DEB` in the build folder packs the
# same tree for /usr.
include(GNUInstallDirs)

set(QUENNET_PROGRAMS quennet-flash)
set(QUENNET_MAN_PAGES quennet-flash)
if(TARGET quennet-board)
  list(APPEND QUENNET_PROGRAMS quennet-board)
  list(APPEND QUENNET_MAN_PAGES quennet-board)
endif()
if(TARGET quennet)
  list(APPEND QUENNET_PROGRAMS quennet)
  list(APPEND QUENNET_MAN_PAGES quennet)
endif()
install(TARGETS ${QUENNET_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian keeps them.
set(QUENNET_MAN_GZ)
foreach(page IN LISTS QUENNET_MAN_PAGES)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${CMAKE_CURRENT_SOURCE_DIR}/docs/${page}.1 ${gz}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/${page}.1
    VERBATIM)
  list(APPEND QUENNET_MAN_GZ ${gz})
endforeach()
add_custom_target(quennet_man_pages ALL DEPENDS ${QUENNET_MAN_GZ})
install(FILES ${QUENNET_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(QUENNET_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quennet)
install(FILES README.md LICENSE DESTINATION ${QUENNET_DOC_DIR})
install(FILES LICENSE DESTINATION ${QUENNET_DOC_DIR} RENAME copyright)

if(TARGET quennet)
  # The menu entry and its icon. The entry beside PREFIX/bin/quennet also
  # tells the program that it is installed, so its settings go to the
  # user's configuration folder rather than beside it.
  install(FILES packaging/quennet.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(DIRECTORY src/app/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

set(QUENNET_MAINTAINER "Quennet developers <quennet@example.org>"
  CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quennet)
set(CPACK_PACKAGE_VENDOR "The Quennet developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial terminal and flash loader for embedded boards")
set(CPACK_PACKAGE_DESCRIPTION
  "Quennet owns one serial port and offers a terminal (any baud rate and frame\n\
format, text or hex, function keys, file send, logging), a flash loader for\n\
MSP430 (ROM bootstrap loader) and STM32 (USART bootloader) chips, and a\n\
capture of the target's LCD. quennet-flash runs the flash loader from a\n\
shell; quennet-board serves a simulated board on a pseudo-terminal.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUENNET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from dpkg-shlibdeps; the platform plugins that Qt loads at
# run time (X11, Wayland) are no linked library, so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
