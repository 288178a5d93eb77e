# What `cmake --install` puts on a machine, and the Debian package that CPack
# makes of it: the program, its menu entry, the same entry as an XDG autostart
# entry, and its icon in the hicolor theme. Included only when the program is
# built with its tray interface.
include(GNUInstallDirs)

set(LOOMWELL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(LOOMWELL_DESKTOP_ENTRY ${PROJECT_SOURCE_DIR}/assets/desktop/loomwell.desktop)

install(TARGETS loomwell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
