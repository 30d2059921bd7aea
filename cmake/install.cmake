# Installs the desktop integration next to the executables.
include(GNUInstallDirs)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Not CMAKE_INSTALL_LIBDIR: that is multiarch on Debian, and udev looks in lib/udev only.
    # udev reads rules from /usr/lib/udev/rules.d (packages) and /etc/udev/rules.d (the
    # administrator), never from /usr/local: a package build installs with --prefix /usr, and a
    # local install may point this at /etc/udev/rules.d.
    set(TAVREL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
        "Where the udev rule granting access to the gadget goes (relative to the prefix, or absolute)")
    install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/70-tavrel.rules" DESTINATION "${TAVREL_UDEV_RULES_DIR}")
    install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/tavrel.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/tavrel.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
endif()
