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
    foreach(page IN ITEMS tavrel.1 tavrel-cli.1)
        tavrel_install_gzipped("${PROJECT_SOURCE_DIR}/dist/linux/man/${page}" "${CMAKE_INSTALL_MANDIR}/man1")
    endforeach()
endif()
