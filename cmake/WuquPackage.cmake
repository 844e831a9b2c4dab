# The Debian package, made by CPack from the install rules (scripts/package.sh).

# Installing (and so packaging) takes what is built and builds nothing
# more: scripts/package.sh builds the installed targets first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wuqu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${WUQU_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "browse a dance-music catalogue, preview and download tracks")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "wuqu is a small desktop window for people who collect dance music from one
catalogue web site. Pick one of ten categories to list its tracks, left-click
a track to hear it in the built-in player, and right-click it to download it
with a fast multi-connection downloader; a progress bar and a status line
follow the transfer, and an unfinished download continues where it stopped.

Out of the box the program talks to its demo catalogue site, wuqu-site, on
this computer: the menu entry starts it and stops it with the window. The
package also holds wuqu-fetch, the downloader on the command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${WUQU_HOMEPAGE_URL}")
# Libraries from what the programs link; the rest is what no library names:
# the Chinese glyphs and the GStreamer plugins that play AAC in MP4.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei, gstreamer1.0-plugins-good, gstreamer1.0-libav")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
