# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb on Linux (amd64, or arm64 when cross-built), a .zip on Windows.
include(GNUInstallDirs)

set(SERIALTAP_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# The pages the README links to go beside it, so that its links lead somewhere.
file(GLOB SERIALTAP_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)

if(WIN32)
  # The .zip holds the program and its documents side by side.
  install(TARGETS serialtap RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(FILES ${SERIALTAP_DOC_PAGES} DESTINATION docs)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/hex-streams.py DESTINATION .)
else()
  install(TARGETS serialtap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Debian ships manual pages compressed; man reads both forms.
  set(SERIALTAP_MAN_PAGE ${SERIALTAP_PACKAGING_DIR}/serialtap.1)
  find_program(SERIALTAP_GZIP gzip)
  if(SERIALTAP_GZIP)
    set(SERIALTAP_MAN_PAGE_GZ ${CMAKE_CURRENT_BINARY_DIR}/serialtap.1.gz)
    add_custom_command(OUTPUT ${SERIALTAP_MAN_PAGE_GZ}
      COMMAND ${SERIALTAP_GZIP} -9 -n -c ${SERIALTAP_MAN_PAGE} > ${SERIALTAP_MAN_PAGE_GZ}
      DEPENDS ${SERIALTAP_MAN_PAGE} VERBATIM)
    add_custom_target(serialtap_man_page ALL DEPENDS ${SERIALTAP_MAN_PAGE_GZ})
    install(FILES ${SERIALTAP_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${SERIALTAP_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()

  install(FILES ${SERIALTAP_PACKAGING_DIR}/serialtap.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME serialtap)
  # Relative to the prefix: /usr/lib/systemd/system for the package,
  # /usr/local/lib/systemd/system for a default `cmake --install`; systemd
  # reads both.
  install(FILES ${SERIALTAP_PACKAGING_DIR}/serialtap@.service DESTINATION lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${SERIALTAP_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  # The recipe that gives back each port's bytes from a hex capture of
  # several ports; it needs Python 3, which the program itself does not.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/hex-streams.py
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME serialtap)
set(CPACK_PACKAGE_VENDOR "the serialtap developers")
set(CPACK_PACKAGE_CONTACT "the serialtap developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record everything a device sends over a serial port into a file")
set(CPACK_PACKAGE_DESCRIPTION
  "serialtap records every byte a device sends over a serial port into a capture file, at exactly the line settings asked for, until q is pressed or it is stopped. A systemd template unit, serialtap@.service, logs a port unattended.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME serialtap-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${SERIALTAP_PACKAGING_DIR}/debian/prerm ${SERIALTAP_PACKAGING_DIR}/debian/postrm
    ${SERIALTAP_PACKAGING_DIR}/debian/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps knows only the host's libraries. The cross build asks
    # for the same symbol versions as the native one (scripts/test-arm64.sh
    # checks the C library's), for which dpkg-shlibdeps finds these.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5.2)")
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)
