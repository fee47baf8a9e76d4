# The Debian package: "cpack -G DEB" in the build folder makes
# pxeservice_<version>_amd64.deb with the install layout of install.cmake (the
# program, the two example configuration files as conffiles, the TFTP root),
# the manual page, the README and /etc/logrotate.d/pxeservice. Its Depends come
# from dpkg-shlibdeps, and adduser for the system user that postinst makes and
# the shipped pxeservice.cfg names.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../README.md DESTINATION share/doc/pxeservice)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pxeservice)
set(CPACK_PACKAGE_VERSION ${PXE_VERSION_TEXT})
set(CPACK_PACKAGE_CONTACT "pxeservice developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network-boot server: PXE proxy DHCP, boot server and TFTP")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Answers PXE clients as a proxy DHCP server (UDP 67) and boot server (UDP 4011),\n"
  "naming a boot file once the management console has a task for the client, and\n"
  "serves the boot files over TFTP (UDP 69). It hands out no addresses.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(PXE_SERVICE_USER pxeservice)
set(CPACK_CUSTOM_INSTALL_VARIABLES PXE_SERVICE_USER=${PXE_SERVICE_USER})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
set(CPACK_STRIP_FILES ON)
# The package installs where the program and its files are looked for.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(PXE_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
foreach(strScript conffiles postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${strScript}.in ${PXE_DEBIAN_DIR}/${strScript} @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PXE_DEBIAN_DIR}/${strScript})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The logrotate file names the package's log, so only the package installs it
# (outside the install folder): a "cmake --install" elsewhere leaves /etc alone.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/logrotate.in ${PXE_DEBIAN_DIR}/logrotate @ONLY)
install(FILES ${PXE_DEBIAN_DIR}/logrotate DESTINATION /etc/logrotate.d RENAME pxeservice
        COMPONENT system EXCLUDE_FROM_ALL)
# The manual page where man looks without a PATH of ours: "man pxeservice".
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/pxeservice.8 DESTINATION /usr/share/man/man8
        COMPONENT system EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};pxeservice;ALL;/"
                                 "${CMAKE_BINARY_DIR};pxeservice;system;/")
include(CPack)
