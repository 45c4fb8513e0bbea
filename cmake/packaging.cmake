# packaging.cmake: what `cmake --install` puts where on each platform, and the package CPack makes of it.
include(GNUInstallDirs)

# The package tests (tests/package) look for the packages where scripts/package.sh leaves them.
option(KADRON_PACKAGE_TESTS "Test the packages in KADRON_PACKAGE_DIST instead of the build" OFF)
set(KADRON_PACKAGE_DIST ${PROJECT_SOURCE_DIR}/dist CACHE PATH "Where the package tests find the packages")
set(KADRON_PACKAGE_WIN_BUILD ${PROJECT_SOURCE_DIR}/build-pkg-win CACHE PATH
    "The Windows build the zip was made from, for its version data")

set(KADRON_MAINTAINER_EMAIL "" CACHE STRING
    "E-mail address in the .deb's maintainer field; empty: one under the host of KADRON_HOMEPAGE")

# Files made here from the sources are remade when the sources change.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/README-windows.txt
                                                                ${PROJECT_SOURCE_DIR}/LICENSE)
set(KADRON_PACKAGE_FILES ${PROJECT_BINARY_DIR}/package-files)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE KADRON_LICENSE_TEXT)

if(WIN32)
  # One folder, as a zip is unpacked: the tool beside its texts, which Windows editors want with CRLF.
  # The README is the one written for cmd.exe users, not the Linux one.
  install(TARGETS kadron RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/doc/README-windows.txt KADRON_README_TEXT)
  string(REPLACE "\n" "\r\n" KADRON_README_TEXT "${KADRON_README_TEXT}")
  string(REPLACE "\n" "\r\n" KADRON_LICENSE_CRLF "${KADRON_LICENSE_TEXT}")
  file(WRITE ${KADRON_PACKAGE_FILES}/README.txt "${KADRON_README_TEXT}")
  file(WRITE ${KADRON_PACKAGE_FILES}/LICENSE.txt "${KADRON_LICENSE_CRLF}")
  install(FILES ${KADRON_PACKAGE_FILES}/README.txt ${KADRON_PACKAGE_FILES}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS kadron RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The manual page carries the project version in its footer; it and the README are installed
  # compressed, without name or time stamp, as Debian wants them.
  configure_file(${PROJECT_SOURCE_DIR}/doc/kadron.1 ${PROJECT_BINARY_DIR}/generated/kadron.1 @ONLY)
  find_program(KADRON_GZIP gzip REQUIRED)
  set(KADRON_MAN_GZ ${KADRON_PACKAGE_FILES}/kadron.1.gz)
  set(KADRON_README_GZ ${KADRON_PACKAGE_FILES}/README.md.gz)
  add_custom_command(
    OUTPUT ${KADRON_MAN_GZ} ${KADRON_README_GZ}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/generated/kadron.1 ${PROJECT_SOURCE_DIR}/README.md
            ${KADRON_PACKAGE_FILES}
    COMMAND ${KADRON_GZIP} -9nf ${KADRON_PACKAGE_FILES}/kadron.1 ${KADRON_PACKAGE_FILES}/README.md
    DEPENDS ${PROJECT_BINARY_DIR}/generated/kadron.1 ${PROJECT_SOURCE_DIR}/README.md
    COMMENT "Compressing the manual page and the README" VERBATIM)
  add_custom_target(kadron_docs ALL DEPENDS ${KADRON_MAN_GZ} ${KADRON_README_GZ})
  install(FILES ${KADRON_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # A machine-readable Debian copyright file carrying the licence terms (from "Permission" on; the
  # holder has a field of its own), indented, blank lines as " .".
  string(FIND "${KADRON_LICENSE_TEXT}" "Permission" KADRON_TERMS_AT)
  string(SUBSTRING "${KADRON_LICENSE_TEXT}" ${KADRON_TERMS_AT} -1 KADRON_LICENSE_BODY)
  string(REGEX REPLACE "\n$" "" KADRON_LICENSE_BODY "${KADRON_LICENSE_BODY}")
  string(REPLACE "\n\n" "\n.\n" KADRON_LICENSE_BODY "${KADRON_LICENSE_BODY}")
  string(REPLACE "\n" "\n " KADRON_LICENSE_BODY "${KADRON_LICENSE_BODY}")
  file(WRITE ${KADRON_PACKAGE_FILES}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: KADRON\n"
       "Source: ${KADRON_HOMEPAGE}\n\n"
       "Files: *\n"
       "Copyright: ${KADRON_YEAR} ${KADRON_MAKER}\n"
       "License: Expat\n"
       " ${KADRON_LICENSE_BODY}\n")
  install(FILES ${KADRON_README_GZ} ${KADRON_PACKAGE_FILES}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME kadron)
# All four parts: CPack would keep only three.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${KADRON_MAKER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${KADRON_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "start a program periodically and let each start run for a limited time")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "KADRON starts a given program again and again, once per cycle, and lets each start run\n"
       "for at most a given time. Every cycle it starts the program directly, without a shell,\n"
       "waits until it ends or its run time is up, ends it by force if it still runs, rewrites\n"
       "one status line and sleeps out the rest of the cycle.\n"
       "\n"
       "Its texts, timing and exit statuses are the same as those of its Windows build.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # kadron-<version>-win32.zip (win64 for the x86_64 twin), its three files at the top.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # kadron_<version>_<arch>.deb; the dependencies come from the binary's own needs (dpkg-shlibdeps).
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(KADRON_MAINTAINER_ADDRESS "${KADRON_MAINTAINER_EMAIL}")
  if(KADRON_MAINTAINER_ADDRESS STREQUAL "")
    string(REGEX MATCH "^[A-Za-z][A-Za-z0-9+.-]*://(www\\.)?([^/:?#]+)" KADRON_HOMEPAGE_HOST
                 "${KADRON_HOMEPAGE}")
    if(KADRON_HOMEPAGE_HOST)
      set(KADRON_MAINTAINER_ADDRESS "kadron@${CMAKE_MATCH_2}")
    else()
      # Only the .deb needs it: say so, but let every other build go on.
      message(WARNING "KADRON_HOMEPAGE has no host for the .deb's maintainer address; "
                      "set KADRON_MAINTAINER_EMAIL")
      set(KADRON_MAINTAINER_ADDRESS "kadron@localhost")
    endif()
  endif()
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KADRON_MAKER} <${KADRON_MAINTAINER_ADDRESS}>")
endif()
include(CPack)
