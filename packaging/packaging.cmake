# Installation (GNUInstallDirs) and the Debian package (cpack -G DEB).
set(CMAKE_INSTALL_DOCDIR "share/doc/qen-hotkey-helper" CACHE PATH "Documentation folder")
include(GNUInstallDirs)

install(TARGETS qen-hotkey-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# An example for the user to copy, never into /etc or the udev rules folder.
install(FILES packaging/70-qen-hotkey.rules
  DESTINATION ${CMAKE_INSTALL_DATADIR}/qen-hotkey-helper)

# Debian wants the changelog and the manual page compressed, reproducibly.
configure_file(packaging/changelog ${CMAKE_BINARY_DIR}/changelog @ONLY)
configure_file(packaging/qen-hotkey-helper.1 ${CMAKE_BINARY_DIR}/qen-hotkey-helper.1 @ONLY)
find_program(GZIP_EXECUTABLE gzip)
function(qen_install_compressed name destination)
  # gzip replaces the file it compresses: give it a copy, so that the rule's
  # own input stays for the next build.
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${name} ${name}.copy
    COMMAND ${GZIP_EXECUTABLE} -9nf ${name}.copy
    COMMAND ${CMAKE_COMMAND} -E rename ${name}.copy.gz ${name}.gz
    VERBATIM
    DEPENDS ${CMAKE_BINARY_DIR}/${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  add_custom_target(compressed_${name} ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/${name}.gz DESTINATION ${destination})
endfunction()
if(GZIP_EXECUTABLE AND NOT APPLE)
  qen_install_compressed(changelog ${CMAKE_INSTALL_DOCDIR})
  qen_install_compressed(qen-hotkey-helper.1 ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${CMAKE_BINARY_DIR}/qen-hotkey-helper.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qen-hotkey-helper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QenHotkeyHelper developers")
set(QEN_PACKAGE_MAINTAINER "QenHotkeyHelper developers <qen-hotkey-helper@users.noreply.github.com>"
  CACHE STRING "The Debian package's Maintainer field: set the releasing team's address")
set(CPACK_PACKAGE_CONTACT "${QEN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reports a global Fn or Fn+Space shortcut to a desktop app")
set(CPACK_PACKAGE_DESCRIPTION "A small background helper that a desktop application starts as a child
process. It watches the keyboards (evdev, read-only, never grabbed) for the
Fn key alone or Fn+Space, and writes one JSON line per event on standard
output for its host to read.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
