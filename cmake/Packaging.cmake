# `cpack -G DEB` in the build folder makes a Debian package of everything `cmake --install`
# puts in place, under /usr.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nightwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reminds you at shutdown to charge your wireless mouse")
# Lines shorter than 80 characters, with the space the package adds before each.
set(CPACK_PACKAGE_DESCRIPTION
    "Nightwick is a small background agent that watches the battery of your
wireless mouse. When the computer shuts down, restarts or logs you out
while the mouse is low and not charging, it shows a short card in the
middle of the screen, so that the mouse charges overnight. A small
settings window sets the level to remind at and whether the agent opens
at login.")
# MIT: the package carries it as /usr/share/doc/nightwick/copyright.
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NIGHTWICK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends comes from the libraries the program links, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

include(CPack)
