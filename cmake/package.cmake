# The Debian package, built with "cpack -G DEB" in the build directory:
# korvenet_<version>_<arch>.deb with the executable, a sample channel file and a sample options
# file (every option commented out) in /opt/korvenet
# and the manual page tcp_port_serv(8). Installing and enabling the service is left to
# "tcp_port_serv -install".

set(KORVENET_INSTALL_DIR opt/korvenet)
set(KORVENET_DOC_DIR usr/share/doc/korvenet)

install(TARGETS tcp_port_serv RUNTIME DESTINATION ${KORVENET_INSTALL_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/sample/cnf_port.cfg ${CMAKE_SOURCE_DIR}/sample/cnf_options.cfg
        DESTINATION ${KORVENET_INSTALL_DIR})

# Manual page and changelog, compressed as Debian keeps them (gzip -9n: no name, no time).
configure_file(${CMAKE_SOURCE_DIR}/doc/debian/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
set(compressed)
foreach(pair "${CMAKE_SOURCE_DIR}/doc/tcp_port_serv.8|tcp_port_serv.8.gz"
             "${CMAKE_BINARY_DIR}/package/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/${target}
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${CMAKE_BINARY_DIR}/package/${target}
                     DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${CMAKE_BINARY_DIR}/package/${target})
endforeach()
add_custom_target(korvenet_package_files ALL DEPENDS ${compressed})

install(FILES ${CMAKE_BINARY_DIR}/package/tcp_port_serv.8.gz DESTINATION usr/share/man/man8)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${CMAKE_SOURCE_DIR}/doc/debian/copyright
        DESTINATION ${KORVENET_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/debian/lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME korvenet)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvenet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvenet developers <korvenet@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay between TCP devices and TCP servers or serial lines")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Korvenet passes bytes unchanged between TCP connections on a device side and,
on a server side, further TCP connections or a local serial port. Channels are
described in /opt/korvenet/cnf_port.cfg. Run /opt/korvenet/tcp_port_serv -check
to check them and /opt/korvenet/tcp_port_serv -install to install the service.")
# The channel and options files are the operator's: an upgrade keeps their changes, removal
# keeps the files (purge removes them).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/doc/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
