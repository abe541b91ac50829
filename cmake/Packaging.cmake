# A Debian package of the installed files: scripts/package runs cpack on the normal build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME knobly)
set(CPACK_PACKAGE_VENDOR "The Knobly developers")
set(CPACK_PACKAGE_CONTACT "The Knobly developers <developers@knobly.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "WiiM streamer volume and playback in the desktop panel")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Knobly puts the volume and playback controls of a WiiM network streamer into\n\
the desktop panel and onto the keyboard's media keys. It finds devices on the\n\
local network, shows the track playing, and comes with knoblyctl for the shell.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# One package per Debian release, told apart by the version's suffix (+deb13), as Debian's own
# backports are: the Debian 13 one depends on Qt 6.8 and KDE Frameworks 6.
cmake_host_system_information(RESULT KNOBLY_DEBIAN_RELEASE QUERY DISTRIB_VERSION_ID)
if(KNOBLY_DEBIAN_RELEASE AND NOT KNOBLY_DEBIAN_RELEASE STREQUAL "12")
  set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}+deb${KNOBLY_DEBIAN_RELEASE}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://knobly.org")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads these as plugins, which dpkg-shlibdeps cannot see: the X11 and Wayland platforms.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland")
# Discovery browses mDNS through the daemon; a typed address works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_STRIP_FILES ON)
include(CPack)
