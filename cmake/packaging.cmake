# `cpack -G DEB`: one Debian package of the desktop install (the default
# install component; the backend stand-in is not in it).
set(CPACK_PACKAGE_NAME zunaro-service)
set(CPACK_PACKAGE_VENDOR "Kvel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Telegram Vyn background service")
set(CPACK_PACKAGE_DESCRIPTION "Keeps the Telegram Vyn messaging backend running, shows new messages and
ringing calls through the session's notification server and opens the UI
at the chat or call. Runs as a systemd user service of the graphical session.")
set(ZUNARO_PACKAGE_MAINTAINER "zunaro-service maintainers <zunaro-service@kvel.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZUNARO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps names the exact Qt 6 runtime packages the binaries link
# (libqt6core6, libqt6network6, ...), with the versions they need; the
# network information plugins come with libqt6network6. The session bus is
# needed to run at all; xdg-utils tells whether a program opens the UI's
# URIs and opens them when the UI is not on the bus.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, xdg-utils")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
