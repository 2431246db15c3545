# Installation and packages: a .deb for Linux, a .zip for Windows.
#
# kelvo reads kelvo.txt and writes its log in the folder it stands in, so on
# Linux the program is installed out of PATH (lib/kelvo) and copied into the
# working folder by the user or by the example systemd units.

set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VENDOR "kelvo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Rotates files at random from pools of candidates")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)

if(WIN32)
  install(TARGETS kelvo RUNTIME DESTINATION .)
  install(FILES examples/kelvo.txt README.md DESTINATION .)
  install(DIRECTORY examples/pool DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_SYSTEM_NAME win32)
else()
  include(GNUInstallDirs)
  install(TARGETS kelvo RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/kelvo)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo)
  install(FILES examples/kelvo.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo/examples)
  install(DIRECTORY examples/pool DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo/examples)
  install(FILES packaging/systemd/kelvo.service packaging/systemd/kelvo-oneshot.service
                packaging/systemd/kelvo-oneshot.timer
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo/examples/systemd)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kelvo developers <kelvo@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
