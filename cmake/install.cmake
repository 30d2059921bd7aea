# Installs the desktop integration next to the executables.
include(GNUInstallDirs)

# Debian wants manual pages and changelogs gzipped, and without the name and time stamp that gzip
# stores by default (-n), so that the same sources give the same package.
function(tavrel_install_gzipped source destination)
    get_filename_component(name "${source}" NAME)
    set(copy "${PROJECT_BINARY_DIR}/dist/${name}")
    add_custom_command(OUTPUT "${copy}.gz"
        COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${copy}"
        COMMAND gzip -9nf "${copy}"
        DEPENDS "${source}"
        VERBATIM)
    add_custom_target("tavrel_gzip_${name}" ALL DEPENDS "${copy}.gz")
    install(FILES "${copy}.gz" DESTINATION "${destination}")
endfunction()

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

    # The UDP gadget server as a systemd service, installed but not enabled. systemd reads
    # packages' units from /usr/lib/systemd/system (and a local install's from
    # /usr/local/lib/systemd/system). The unit starts the installed tavrel-cli, wherever the prefix
    # puts it.
    set(TAVREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
        "Where the tavrel-serve systemd unit goes (relative to the prefix, or absolute)")
    set(unit_source "${PROJECT_SOURCE_DIR}/dist/linux/tavrel-serve.service")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${unit_source}")
    file(READ "${unit_source}" unit)
    string(REPLACE "ExecStart=/usr/bin/tavrel-cli " "ExecStart=${CMAKE_INSTALL_FULL_BINDIR}/tavrel-cli " unit "${unit}")
    file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/dist/tavrel-serve.service" CONTENT "${unit}" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/dist/tavrel-serve.service" DESTINATION "${TAVREL_SYSTEMD_UNIT_DIR}")
    # The service's arguments, for the administrator to edit: /etc whatever the prefix, because
    # that is where the unit reads them (the package declares it a conffile).
    install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/tavrel-serve.default"
        DESTINATION /etc/default RENAME tavrel-serve)
    # tavrel-cli's bash completion, where bash-completion loads completions from on demand: its
    # completionsdir (pkg-config) is /usr/share/bash-completion/completions, and it looks in the
    # same folder under /usr/local/share (XDG_DATA_DIRS) for a local install.
    set(TAVREL_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
        "Where tavrel-cli's bash completion goes (relative to the prefix, or absolute)")
    install(FILES "${PROJECT_SOURCE_DIR}/dist/linux/bash-completion/tavrel-cli"
        DESTINATION "${TAVREL_BASH_COMPLETION_DIR}")
    foreach(page IN ITEMS tavrel.1 tavrel-cli.1)
        tavrel_install_gzipped("${PROJECT_SOURCE_DIR}/dist/linux/man/${page}" "${CMAKE_INSTALL_MANDIR}/man1")
    endforeach()
endif()
