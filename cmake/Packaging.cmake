# `cpack -G DEB` in a build tree: a Debian package of everything installed
# (the window program with its desktop entry and icons, torvik-loader and its
# manual page). Library dependencies are worked out by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME "usb-torvikloader")
set(CPACK_PACKAGE_VENDOR "Velmar Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Writes card images onto Torvik loader smart cards through a USB reader")
set(CPACK_PACKAGE_CONTACT "Velmar Software")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
