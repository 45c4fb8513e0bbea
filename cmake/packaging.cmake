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
                                                                ${PROJECT_SOURCE_DIR}/NEWS
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
  # The compilers' and C runtime's version notes in .comment are of no use in an installed binary.
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kadron\"
                  COMMAND_ERROR_IS_FATAL ANY)")

  # The .deb's maintainer, also named in its changelog.
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
  set(KADRON_MAINTAINER "${KADRON_MAKER} <${KADRON_MAINTAINER_ADDRESS}>")

  # The changelog Debian wants, made from NEWS: each heading "VERSION (YYYY-MM-DD)" opens an entry,
  # its indented lines are kept as they are, and a trailer names the maintainer and the day.
  file(READ ${PROJECT_SOURCE_DIR}/NEWS KADRON_NEWS)
  string(REPLACE ";" "\\;" KADRON_NEWS "${KADRON_NEWS}")
  string(REPLACE "\n" ";" KADRON_NEWS "${KADRON_NEWS}")
  set(KADRON_CHANGELOG "")
  set(KADRON_TRAILER "")
  foreach(line IN LISTS KADRON_NEWS)
    if(line MATCHES "^([0-9][0-9.]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
      set(version ${CMAKE_MATCH_1})
      set(year ${CMAKE_MATCH_2})
      math(EXPR month "${CMAKE_MATCH_3}")
      set(day ${CMAKE_MATCH_4})
      # The day of the week (0: Sunday), by Sakamoto's method.
      set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
      math(EXPR index "${month} - 1")
      list(GET month_offsets ${index} offset)
      set(y ${year})
      if(month LESS 3)
        math(EXPR y "${year} - 1")
      endif()
      math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
      set(day_names Sun Mon Tue Wed Thu Fri Sat)
      set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
      list(GET day_names ${weekday} day_name)
      list(GET month_names ${index} month_name)
      string(APPEND KADRON_CHANGELOG "${KADRON_TRAILER}kadron (${version}) unstable; urgency=medium\n\n")
      set(KADRON_TRAILER "\n -- ${KADRON_MAINTAINER}  ${day_name}, ${day} ${month_name} ${year}")
      string(APPEND KADRON_TRAILER " 12:00:00 +0000\n\n")
    elseif(line MATCHES "^  " AND NOT KADRON_TRAILER STREQUAL "")
      string(APPEND KADRON_CHANGELOG "${line}\n")
    elseif(NOT line STREQUAL "" AND NOT KADRON_TRAILER STREQUAL "")
      message(FATAL_ERROR "NEWS: neither a heading \"VERSION (YYYY-MM-DD)\" nor indented: ${line}")
    endif()
  endforeach()
  if(KADRON_TRAILER STREQUAL "")
    message(FATAL_ERROR "NEWS has no heading such as \"${PROJECT_VERSION} (YYYY-MM-DD)\"")
  endif()
  string(REGEX REPLACE "\n\n$" "\n" KADRON_TRAILER "${KADRON_TRAILER}")
  file(WRITE ${PROJECT_BINARY_DIR}/generated/changelog.new "${KADRON_CHANGELOG}${KADRON_TRAILER}")
  # Copied only when changed, so that an unchanged changelog is not compressed again.
  configure_file(${PROJECT_BINARY_DIR}/generated/changelog.new ${PROJECT_BINARY_DIR}/generated/changelog
                 COPYONLY)

  # The manual page carries the project version in its footer; it, the README and the changelog are
  # installed compressed, without name or time stamp, as Debian wants them. The README is the one
  # written for users, not the developers' README.md, which speaks of files the package does not ship.
  configure_file(${PROJECT_SOURCE_DIR}/doc/kadron.1 ${PROJECT_BINARY_DIR}/generated/kadron.1 @ONLY)
  find_program(KADRON_GZIP gzip REQUIRED)
  set(KADRON_MAN_GZ ${KADRON_PACKAGE_FILES}/kadron.1.gz)
  set(KADRON_README_GZ ${KADRON_PACKAGE_FILES}/README.gz)
  set(KADRON_CHANGELOG_GZ ${KADRON_PACKAGE_FILES}/changelog.gz)
  add_custom_command(
    OUTPUT ${KADRON_MAN_GZ} ${KADRON_README_GZ} ${KADRON_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/generated/kadron.1
            ${PROJECT_BINARY_DIR}/generated/changelog ${KADRON_PACKAGE_FILES}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/README-user.txt ${KADRON_PACKAGE_FILES}/README
    COMMAND ${KADRON_GZIP} -9nf ${KADRON_PACKAGE_FILES}/kadron.1 ${KADRON_PACKAGE_FILES}/README
            ${KADRON_PACKAGE_FILES}/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/generated/kadron.1 ${PROJECT_SOURCE_DIR}/doc/README-user.txt
            ${PROJECT_BINARY_DIR}/generated/changelog
    COMMENT "Compressing the manual page, the README and the changelog" VERBATIM)
  add_custom_target(kadron_docs ALL DEPENDS ${KADRON_MAN_GZ} ${KADRON_README_GZ} ${KADRON_CHANGELOG_GZ})
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
  install(FILES ${KADRON_README_GZ} ${KADRON_CHANGELOG_GZ} ${KADRON_PACKAGE_FILES}/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME kadron)
# All four parts: CPack would keep only three.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${KADRON_MAKER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${KADRON_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "start a program periodically and let each start run for a limited time")
# Lines of at most 79 characters: the .deb indents each by one, and Debian wants 80 at most.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "KADRON starts a given program again and again, once per cycle, and lets\n"
       "each start run for at most a given time. Every cycle it starts the program\n"
       "directly, without a shell, waits until it ends or its run time is up, ends\n"
       "it by force if it still runs, rewrites one status line and sleeps out the\n"
       "rest of the cycle.\n"
       "\n"
       "Its texts and timing are those of its Windows build, and so are its exit\n"
       "statuses, but for a stop: ended by a signal, it dies by that signal (a\n"
       "shell shows 128 plus its number), where the Windows build ends after\n"
       "Ctrl+C with the system's status 0xC000013A.")
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
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KADRON_MAINTAINER}")
endif()
include(CPack)
