# What `cmake --install` puts in place and what `cpack` packs: the agent, its
# manual page, and the copyright and changelog a Debian package carries. All of
# it is the "agent" component, and the package holds that component alone, so
# that nothing else a subdirectory may install (examples, tools) is shipped.
include(GNUInstallDirs)

install(TARGETS velkin-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)

# Manual pages and Debian changelogs are installed gzipped, without the name and
# time stamp gzip would otherwise record, so that a rebuild gives the same bytes.
set(VELKIN_DOC_OUTPUT ${CMAKE_BINARY_DIR}/doc)
function(velkin_gzipped source name)
  set(plain ${VELKIN_DOC_OUTPUT}/${name})
  add_custom_command(OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELKIN_DOC_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND gzip -9nf ${plain}
    DEPENDS ${source} VERBATIM)
endfunction()
velkin_gzipped(${CMAKE_SOURCE_DIR}/doc/velkin-capture.1 velkin-capture.1)
velkin_gzipped(${CMAKE_SOURCE_DIR}/doc/changelog changelog.Debian)
add_custom_target(velkin_docs ALL
  DEPENDS ${VELKIN_DOC_OUTPUT}/velkin-capture.1.gz ${VELKIN_DOC_OUTPUT}/changelog.Debian.gz)

install(FILES ${VELKIN_DOC_OUTPUT}/velkin-capture.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT agent)
install(FILES ${CMAKE_SOURCE_DIR}/doc/copyright ${VELKIN_DOC_OUTPUT}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velkin-capture COMPONENT agent)

# The Debian package: velkin-capture_<version>-1_<arch>.deb, its dependencies
# found by dpkg-shlibdeps from the libraries the agent links.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkin-capture)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velkin")
set(CPACK_PACKAGE_CONTACT "Velkin Capture maintainers <capture@velkin.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "window-less recorder of an interview call, for a parent app")
set(CPACK_PACKAGE_DESCRIPTION
  "Velkin Capture records what the computer plays (the interviewer) and the\n"
  "microphone (the candidate) as two tracks of five-second CAF segments, each\n"
  "marked ready once complete, so that the application that started it can\n"
  "transcribe finished segments while the call goes on. It is driven through a\n"
  "control directory and captures through PulseAudio or PipeWire (pipewire-pulse).")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};agent;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
