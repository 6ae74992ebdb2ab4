# Install rules and release packages: a Debian package on Linux, a .zip from
# the Windows build. Both take their version from project(VERSION).
#
#   cmake --build build --target package
#
# writes build/discsift_<version>-1_amd64.deb on Linux, and
# discsift-<version>-win32.zip (win64 for a 64-bit build) from a Windows
# cross-build.

include(GNUInstallDirs)

# The project has no public address yet: give the real one with
# -DDISCSIFT_MAINTAINER="Name <address>" when building a release.
set(DISCSIFT_MAINTAINER "Discsift developers <maintainer@discsift.invalid>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME discsift)
set(CPACK_PACKAGE_VENDOR "Discsift developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "rescue songs from Roland VS-series recorder backup CDs")
set(CPACK_PACKAGE_DESCRIPTION
  "Discsift recovers the songs of Roland VS-series hard-disk recorders\n(VS-880, VS-880EX, VS-890, VS-1680, VS-1880, VS-2000, VS-2400, VS-2480)\nfrom the recorders' own backup CDs, without a working recorder. It rips a\nbackup CD into an image through raw SCSI commands, or takes an image made\nbefore, and carves it into one folder per song: the song record, a file\nnaming the song, the event list and every audio take, byte for byte.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The Windows package: discsift.exe and the README with Windows line ends,
  # both at the top of the archive's folder.
  configure_file(README.md ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS discsift RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME discsift-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME discsift-${PROJECT_VERSION}-win32)
  endif()
else()
  install(TARGETS discsift RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES doc/discsift.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT man)

  # What Debian wants besides: the manual page compressed, the copyright
  # file and a changelog. Installed into the package only.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(DISCSIFT_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  string(TIMESTAMP DISCSIFT_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(DEB_DIR ${PROJECT_BINARY_DIR}/debian)
  configure_file(packaging/debian/changelog.in ${DEB_DIR}/changelog @ONLY)
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  add_custom_command(
    OUTPUT ${DEB_DIR}/discsift.1.gz ${DEB_DIR}/changelog.Debian.gz
    COMMAND ${GZIP_EXECUTABLE} -9nc ${PROJECT_SOURCE_DIR}/doc/discsift.1 > ${DEB_DIR}/discsift.1.gz
    COMMAND ${GZIP_EXECUTABLE} -9nc ${DEB_DIR}/changelog > ${DEB_DIR}/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/discsift.1 ${DEB_DIR}/changelog
    VERBATIM)
  add_custom_target(debian_files ALL
    DEPENDS ${DEB_DIR}/discsift.1.gz ${DEB_DIR}/changelog.Debian.gz)
  install(FILES ${DEB_DIR}/discsift.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${DEB_DIR}/changelog.Debian.gz packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DISCSIFT_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
