# Install layout: everything under one folder of its own.
#   <prefix>/bin/pxeservice        the program
#   <prefix>/bin/consolesim, pxeclient   a stand-in console and a scripted PXE client
#   <prefix>/bin/pxeservice.cfg    its configuration (example; kept when present)
#   <prefix>/bin/pxeservice.log    its log (written by the service)
#   <prefix>/Gateway.cfg           the gateway's configuration (example; kept when present)
#   <prefix>/tftproot/             the boot files
#   <prefix>/share/man/man8/pxeservice.8   the manual page
# The program finds its files from its own path, so the layout moves with the prefix.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/pxeservice CACHE PATH "Install folder" FORCE)
endif()

# Version shown by "pxeservice -v": four numbers.
set(PXE_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
foreach(PART PATCH TWEAK)
  if("${PROJECT_VERSION_${PART}}" STREQUAL "")
    string(APPEND PXE_VERSION_TEXT ".0")
  else()
    string(APPEND PXE_VERSION_TEXT ".${PROJECT_VERSION_${PART}}")
  endif()
endforeach()
if(TARGET pxe_service)
  target_compile_definitions(pxe_service PRIVATE PXE_VERSION="${PXE_VERSION_TEXT}")
endif()

if(TARGET pxeservice)
  install(TARGETS pxeservice RUNTIME DESTINATION bin)
endif()
# A stand-in console and a scripted PXE client: a site tries its set-up with
# them without a build tree.
install(TARGETS consolesim pxeclient RUNTIME DESTINATION bin)
install(DIRECTORY DESTINATION tftproot)
# The manual page, where man finds it for a program in <prefix>/bin on PATH.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/pxeservice.8 DESTINATION share/man/man8)

# The example configuration files are put in place only where none exists, so
# that a reinstall never overwrites a configuration in use. The TFTP root of
# the example follows the install folder; the package's names the user it
# makes for the service (PXE_SERVICE_USER, set by CPack), where a plain install
# leaves the service the user it is started as.
set(PXE_EXAMPLES ${CMAKE_CURRENT_LIST_DIR}/../examples)
install(CODE "
  set(strPrefix \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  foreach(strPair \"pxeservice.cfg|bin/pxeservice.cfg\" \"Gateway.cfg|Gateway.cfg\")
    string(REPLACE \"|\" \";\" lPair \"\${strPair}\")
    list(GET lPair 0 strSource)
    list(GET lPair 1 strTarget)
    if(EXISTS \"\${strPrefix}/\${strTarget}\")
      message(STATUS \"Kept: \${strPrefix}/\${strTarget}\")
    else()
      file(READ \"${PXE_EXAMPLES}/\${strSource}\" strText)
      string(REPLACE \"/opt/pxeservice/\" \"\${CMAKE_INSTALL_PREFIX}/\" strText \"\${strText}\")
      if(PXE_SERVICE_USER)
        string(REPLACE \"<User></User>\" \"<User>\${PXE_SERVICE_USER}</User>\" strText \"\${strText}\")
      endif()
      file(WRITE \"\${strPrefix}/\${strTarget}\" \"\${strText}\")
      message(STATUS \"Installing: \${strPrefix}/\${strTarget}\")
    endif()
  endforeach()
")
