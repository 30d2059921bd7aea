# The Debian package (scripts/package runs cpack in a Release build): the programs and what
# cmake/install.cmake installs with them, plus the copyright and changelog Debian asks every
# package to carry.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

set(TAVREL_PACKAGE_MAINTAINER "Tavrel maintainers <maintainers@users.noreply.c-seed-b676549e.example>"
    CACHE STRING "Maintainer field of the Debian package")

# share/doc/tavrel, not CMAKE_INSTALL_DOCDIR: that one is named after the project (Tavrel), and
# Debian looks for the package's name.
set(TAVREL_PACKAGE_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/tavrel")
install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/debian/copyright" DESTINATION "${TAVREL_PACKAGE_DOC_DIR}")
tavrel_install_gzipped("${PROJECT_SOURCE_DIR}/dist/linux/debian/changelog" "${TAVREL_PACKAGE_DOC_DIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel)
set(CPACK_PACKAGE_CONTACT "${TAVREL_PACKAGE_MAINTAINER}")
# The udev rule only works from /usr/lib/udev/rules.d, whatever prefix the build was configured with.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop tool for a USB keyboard/mouse script gadget")
# Debian shows the description as it stands: lines of at most 80 columns, an empty line between
# paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tavrel writes keyboard and mouse scripts for a USB script gadget (HID vendor
id 0x4132) in a short line language with Chinese or English keywords,
compiles them into the gadget's record bytes, downloads them into the
gadget, and starts, stops and resets its playback, also with the global hot
keys F7, F8 and F9. It reads and writes the gadget's data flash and serves
script lines over UDP, from a network over DTLS with pre-shared keys.

The package holds the window (tavrel), the command line (tavrel-cli, which
also works on many gadgets at once), a udev rule that gives the user at the
seat and group plugdev access to the gadget's hidraw nodes, and a systemd
service (tavrel-serve, not enabled) that runs the UDP server without a
window. Both programs can work with a simulated gadget (--simulate) when none
is plugged in.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Besides the libraries dpkg-shlibdeps finds: postinst makes the group tavrel with addgroup, and
# the service's ExecReload runs /bin/kill.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, procps")
# The window's labels are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
# The maintainer scripts (udev's rules, systemd's units, the group tavrel and the server's key
# file, stopping the server on removal) and the one file in /etc that dpkg must keep as the
# administrator edited it (the key file is postinst's, not the package's: no conffile).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/dist/linux/debian/postinst"
    "${PROJECT_SOURCE_DIR}/dist/linux/debian/prerm"
    "${PROJECT_SOURCE_DIR}/dist/linux/debian/postrm"
    "${PROJECT_SOURCE_DIR}/dist/linux/debian/conffiles")
# Keeps the maintainer scripts executable and the control files at the modes dpkg expects.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
