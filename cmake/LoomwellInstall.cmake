# What `cmake --install` puts on a machine, and the Debian package that CPack
# makes of it: the program, its menu entry, the same entry as an XDG autostart
# entry, and its icon in the hicolor theme. Included only when the program is
# built with its tray interface.
include(GNUInstallDirs)

set(LOOMWELL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(LOOMWELL_DESKTOP_ENTRY ${PROJECT_SOURCE_DIR}/assets/desktop/loomwell.desktop)

# Relocations resolved at start and then read-only (Debian's hardening
# flags); the compiler's version note, which strip keeps, goes as dh_strip does.
target_link_options(loomwell PRIVATE -Wl,-z,relro -Wl,-z,now)
install(TARGETS loomwell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/loomwell\")")
install(FILES ${LOOMWELL_DESKTOP_ENTRY} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/assets/src/loomwell.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS LOOMWELL_ICON_SIZES)
    install(FILES ${PROJECT_SOURCE_DIR}/assets/icons/loomwell-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME loomwell.png)
endforeach()

# The autostart entry belongs in /etc/xdg/autostart when the prefix is /usr
# and in <prefix>/etc/xdg/autostart otherwise. GNUInstallDirs settles that
# from the prefix at configure time, but `cmake --install --prefix` and CPack
# choose the prefix only when they install, so the choice is made then.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(loomwell_autostart_dir \"/etc/xdg/autostart\")
    else()
        set(loomwell_autostart_dir \"\${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart\")
    endif()
    file(INSTALL DESTINATION \"\${loomwell_autostart_dir}\" TYPE FILE
         FILES \"${LOOMWELL_DESKTOP_ENTRY}\")
")

# What Debian asks of every package besides: the manual page and the
# changelog compressed (gzip -9n, so that the same sources give the same
# bytes), the copyright file, and the AppStream metadata by which software
# centres list Loomwell and suggest it when a console is plugged in.
set(LOOMWELL_PACKAGE_SOURCES ${PROJECT_SOURCE_DIR}/assets/package)
set(LOOMWELL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/loomwell)
set(LOOMWELL_APPSTREAM_ID invalid.loomwell.Loomwell)
foreach(file loomwell.1 changelog)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package/${file}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/package
        COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${LOOMWELL_PACKAGE_SOURCES}/${file} ${CMAKE_CURRENT_BINARY_DIR}/package/${file}.gz
        DEPENDS ${LOOMWELL_PACKAGE_SOURCES}/${file} VERBATIM)
    list(APPEND LOOMWELL_COMPRESSED ${CMAKE_CURRENT_BINARY_DIR}/package/${file}.gz)
endforeach()
add_custom_target(loomwell_package_files ALL DEPENDS ${LOOMWELL_COMPRESSED})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/loomwell.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz ${LOOMWELL_PACKAGE_SOURCES}/copyright DESTINATION ${LOOMWELL_DOC_DIR})
install(FILES ${LOOMWELL_PACKAGE_SOURCES}/loomwell.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME ${LOOMWELL_APPSTREAM_ID}.metainfo.xml)

#==============================================================================
# The Debian package: loomwell_<version>_<architecture>.deb.
set(LOOMWELL_PACKAGE_MAINTAINER "Loomwell developers <maintainers@loomwell.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME loomwell)
set(CPACK_PACKAGE_VENDOR Loomwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${LOOMWELL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray utility that routes live audio into USB mixing consoles")
# CPack installs with the prefix /usr and its staging directory as DESTDIR,
# so that the install rules see the real prefix: the autostart rule above
# needs it to find /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the field's first line; this is the text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Loomwell finds the consoles on USB, opens each console's multitrack audio
device and puts the audio of running applications (each captured apart from
everything else) and of hardware inputs on the console's four stereo inputs,
with a live level meter per source. It sits in the system tray and starts
with the desktop session.")

# The libraries the program links come from dpkg-shlibdeps. Not among them:
# the sound server and session manager it talks to; libXext, which JUCE loads
# at run time and cannot draw without; and what JUCE loads when it is there
# (cursors, screen layout, a font for the popover's text).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pipewire, wireplumber, libxext6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libxcursor1, libxinerama1, libxrandr2, libxrender1, fonts-dejavu-core")

# Files under /etc are configuration files: an administrator's change to the
# autostart entry (Hidden=true turns it off for every user) survives an
# upgrade, and `apt-get purge` removes it.
set(LOOMWELL_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
file(WRITE ${LOOMWELL_CONFFILES} "/etc/xdg/autostart/loomwell.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${LOOMWELL_CONFFILES})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
