include(GNUInstallDirs)

# `cpack -G DEB` in a Release build tree (tools/package.sh makes one into
# dist/): a Debian package of everything installed: the window program with
# its desktop entry and icons, torvik-loader, rfc2217-sim-server, the manual
# pages of the three, the copyright and changelog under
# /usr/share/doc/usb-torvikloader, and under /usr/share/doc/torvik-loader the
# command-line guide, the JSON Schema of --json, the reliability report, the
# guides to real and simulated readers, and an example udev rule (examples/,
# not active). The programs are stripped on
# the way into the package; library dependencies are worked out by
# dpkg-shlibdeps. tests/cli/deb-package-test.sh builds it and checks it with
# lintian.
set(CPACK_PACKAGE_NAME "usb-torvikloader")
set(CPACK_PACKAGE_VENDOR "Velmar Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes card images onto Torvik loader smart cards through a USB reader")
# The synopsis above is the first line of the package's description; this is
# the rest.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The Torvik Card Loader writes a card image file (.tvk) onto a Torvik\n"
    "loader smart card through a Norvale USB smart-card reader in Phoenix mode,\n"
    "which appears as a serial port. USB_TorvikLoader is the window;\n"
    "torvik-loader does the same from the command line and also reads cards\n"
    "into files, compares them with images and checks that a card answers,\n"
    "for production lines (exit statuses, JSON output, traces).")
set(CPACK_PACKAGE_CONTACT "Velmar Software <support@velmar-software.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Directories in the package belong to root and are 0755, as Debian wants.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(STATUS "Debian packages are made from a Release build tree (this one is '${CMAKE_BUILD_TYPE}')")
endif()

# Compressed manual pages and the package's documentation, made at build time
# with `gzip -9n` (no name or time stamp in the files).
if(UNIX AND NOT APPLE)
  find_program(TORVIK_GZIP gzip)
  set(package_doc ${CMAKE_BINARY_DIR}/package-doc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${package_doc}/changelog @ONLY)
  set(manual_pages torvik-loader.1 rfc2217-sim-server.1)
  if(TORVIK_BUILD_APP)
    list(APPEND manual_pages USB_TorvikLoader.1)
  endif()
  set(compressed ${package_doc}/changelog.gz)
  add_custom_command(OUTPUT ${package_doc}/changelog.gz
                     COMMAND sh -c "'${TORVIK_GZIP}' -9n -c changelog > changelog.gz"
                     WORKING_DIRECTORY ${package_doc}
                     DEPENDS ${package_doc}/changelog VERBATIM)
  foreach(page ${manual_pages})
    add_custom_command(OUTPUT ${package_doc}/${page}.gz
                       COMMAND sh -c "'${TORVIK_GZIP}' -9n -c '${PROJECT_SOURCE_DIR}/docs/${page}' > '${page}.gz'"
                       WORKING_DIRECTORY ${package_doc}
                       DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page} VERBATIM)
    list(APPEND compressed ${package_doc}/${page}.gz)
    install(FILES ${package_doc}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  add_custom_target(torvik_package_doc ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${package_doc}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/usb-torvikloader)
  # What the manual pages refer to, readable as it is.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/command-line-and-network-readers.md
                ${PROJECT_SOURCE_DIR}/docs/torvik-loader-json.schema.json ${PROJECT_SOURCE_DIR}/docs/reliability.md
                ${PROJECT_SOURCE_DIR}/docs/real-readers.md ${PROJECT_SOURCE_DIR}/docs/simulated-reader.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/torvik-loader)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/60-torvik-reader.rules
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/torvik-loader/examples)
endif()
include(CPack)
