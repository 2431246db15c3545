# Installation and packages: a .deb for Linux, a .zip for Windows.
#
# kelvo reads kelvo.txt and writes its log in the folder its executable
# stands in, so on Linux the program is installed out of PATH (lib/kelvo) and
# the service units mount it into their data folder (packaging/systemd).
# Both packages carry stripped programs, the licence and the README.

set(KELVO_MAINTAINER "kelvo developers <kelvo@kelvo.example>"
    CACHE STRING "Maintainer of the .deb, as Name <address>")

set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VENDOR "kelvo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rotates files at random from pools of candidates")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(kelvo_generated ${CMAKE_BINARY_DIR}/packaging)

if(WIN32)
  install(TARGETS kelvo kelvo-check RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  # The example script and the task definition, in the forms Windows tools
  # expect: CRLF lines, and the task in UTF-16 as schtasks reads it.
  file(READ packaging/windows/kelvo.txt kelvo_script)
  string(REPLACE "\n" "\r\n" kelvo_script "${kelvo_script}")
  file(WRITE ${kelvo_generated}/kelvo.txt "${kelvo_script}")
  file(READ packaging/windows/kelvo-task.xml kelvo_task)
  string(REPLACE "encoding=\"UTF-8\"" "encoding=\"UTF-16\"" kelvo_task "${kelvo_task}")
  string(REPLACE "\n" "\r\n" kelvo_task "${kelvo_task}")
  file(WRITE ${kelvo_generated}/kelvo-task.utf8.xml "${kelvo_task}")
  execute_process(COMMAND iconv -f UTF-8 -t UTF-16 ${kelvo_generated}/kelvo-task.utf8.xml
                  OUTPUT_FILE ${kelvo_generated}/kelvo-task.xml RESULT_VARIABLE kelvo_iconv)
  if(NOT kelvo_iconv EQUAL 0)
    message(FATAL_ERROR "iconv could not write the task definition in UTF-16")
  endif()
  install(FILES ${kelvo_generated}/kelvo.txt ${kelvo_generated}/kelvo-task.xml DESTINATION .)
  install(DIRECTORY examples/pool DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(kelvo_doc share/doc/kelvo)
  install(TARGETS kelvo kelvo-check RUNTIME DESTINATION lib/kelvo)
  install(FILES README.md packaging/debian/copyright DESTINATION ${kelvo_doc})
  install(FILES examples/kelvo.txt DESTINATION ${kelvo_doc}/examples)
  install(DIRECTORY examples/pool DESTINATION ${kelvo_doc}/examples)

  # The changelog, compressed as Debian keeps it (no name or time stamp in
  # the gzip header, so builds are reproducible).
  set(KELVO_VERSION ${PROJECT_VERSION})
  configure_file(packaging/debian/changelog.in ${kelvo_generated}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${kelvo_generated}/changelog RESULT_VARIABLE kelvo_gzip)
  if(NOT kelvo_gzip EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the changelog")
  endif()
  install(FILES ${kelvo_generated}/changelog.gz DESTINATION ${kelvo_doc})

  # Manual pages, compressed the same way.
  foreach(page kelvo.1 kelvo-check.1 kelvo.txt.5)
    configure_file(packaging/man/${page} ${kelvo_generated}/man/${page} COPYONLY)
    execute_process(COMMAND gzip -9nf ${kelvo_generated}/man/${page} RESULT_VARIABLE kelvo_gzip)
    if(NOT kelvo_gzip EQUAL 0)
      message(FATAL_ERROR "gzip could not compress ${page}")
    endif()
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    install(FILES ${kelvo_generated}/man/${page}.gz DESTINATION share/man/man${section})
  endforeach()

  # The service units name the installed program, so they are written at
  # install time, for the prefix installed to (/usr in the .deb, /usr/local
  # by default for cmake --install), into lib/systemd/system, where systemd
  # looks under both.
  install(CODE "
    set(kelvo_prefix \"\${CMAKE_INSTALL_PREFIX}\")
    set(kelvo_units \"\${kelvo_prefix}/lib/systemd/system\")
    set(KELVO_LIBEXEC_DIR \"\${kelvo_prefix}/lib/kelvo\")
    set(KELVO_DOC_DIR \"\${kelvo_prefix}/${kelvo_doc}\")
    file(READ \"${CMAKE_SOURCE_DIR}/packaging/systemd/hardening.conf.in\" KELVO_HARDENING)
    foreach(unit kelvo.service kelvo-oneshot.service)
      configure_file(\"${CMAKE_SOURCE_DIR}/packaging/systemd/\${unit}.in\"
                     \"\$ENV{DESTDIR}\${kelvo_units}/\${unit}\" @ONLY)
      message(STATUS \"Installing: \$ENV{DESTDIR}\${kelvo_units}/\${unit}\")
    endforeach()
    file(INSTALL \"${CMAKE_SOURCE_DIR}/packaging/systemd/kelvo-oneshot.timer\"
         DESTINATION \"\${kelvo_units}\")
  ")

  # Maintainer scripts: the system user, stopping the units on removal,
  # taking away what is left on purge.
  set(KELVO_LIBEXEC_DIR /usr/lib/kelvo)
  foreach(script postinst prerm postrm)
    configure_file(packaging/debian/${script}.in ${kelvo_generated}/${script} @ONLY)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVO_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${kelvo_generated}/postinst ${kelvo_generated}/prerm ${kelvo_generated}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The extended description; CPack puts the summary above it and indents
  # it as the control file wants (a blank line becomes " .").
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "kelvo gives each of a set of destination files, pass after pass, a source
drawn at random from that destination's pool of candidates: a title tune
that differs every session, a splash picture, a message of the day. It
reads its master script, kelvo.txt, from the folder it stands in.

Every replacement keeps the replaced content beside the destination, never
leaves a destination half written, and never overwrites a source. The
package holds the program in /usr/lib/kelvo and systemd units, disabled
until enabled, that run it confined as the system user kelvo on /srv/kelvo.")
  # Installed to /usr under DESTDIR, so that the units written at install
  # time name /usr, not the staging folder.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
endif()

include(CPack)
