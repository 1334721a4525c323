# The Debian package (cpack -G DEB in the build tree): the "program" component
# and the package's own "deb", installed under /usr and stripped as Debian
# strips its binaries (CPACK_STRIP_FILES, and the strip rule in CMakeLists.txt
# beside this file). The simulated machine stays out of it.
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "The QUORVEL developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a firmware image into a CD/DVD drive")
set(CPACK_PACKAGE_DESCRIPTION
  "QUORVEL finds the CD/DVD drives of the machine, checks that a firmware image is
meant for the selected drive's model, sends it to the drive block by block,
shows the progress, reports the result and then has the system restart.
.
It reaches the drives through the kernel's SCSI generic driver, which the
package has loaded at boot; the user at the seat runs it as themselves.")
set(CPACK_PACKAGE_CONTACT "The QUORVEL developers <developers@quorvel.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};program;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUORVEL_HOMEPAGE})
# The libraries it links come from dpkg-shlibdeps. What it loads by other
# means is named here: the window fonts (the program reads their files), and
# Qt's platform plugins (the toolkit loads them; without one no window opens).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, qt6-qpa-plugins")
# Qt's Wayland plugin: with it the window is native on a Wayland desktop,
# without it the program runs through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
# Directories and files as Debian has them, whatever the umask of the build.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
