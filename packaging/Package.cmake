# The Debian packages (cpack -G DEB in the build tree), one a component,
# installed under /usr and stripped as Debian strips its binaries
# (CPACK_STRIP_FILES, and the strip rule in CMakeLists.txt beside this file):
#   quorvel-flash (component "terminal"): the terminal's quorvel-flash, the
#     flash's own process and the SG_IO manager. No windowing library: a
#     server that only flashes (a fleet's host) installs this alone.
#   quorvel (component "window"): the window, which depends on the first.
# The simulated machine stays out of both.
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "The QUORVEL developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The QUORVEL developers <developers@quorvel.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_COMPONENTS_ALL terminal window)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUORVEL_HOMEPAGE})
# The libraries each links come from dpkg-shlibdeps; what it loads by other
# means is named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Directories and files as Debian has them, whatever the umask of the build.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TERMINAL_PACKAGE_NAME quorvel-flash)
set(CPACK_DEBIAN_TERMINAL_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TERMINAL_DESCRIPTION
  "write a firmware image into a CD/DVD drive, from a terminal
quorvel-flash finds the CD/DVD drives of the machine, checks that a firmware
image is meant for a drive's model and sends it to the drive block by block,
to one drive or to several at once, from a terminal or a script (JSON), with
the process that writes the drive outliving the terminal.
.
It reaches the drives through the kernel's SCSI generic driver, which the
package has loaded at boot. It needs no windowing system; the window is in
the package quorvel.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME quorvel)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
  "write a firmware image into a CD/DVD drive
QUORVEL finds the CD/DVD drives of the machine, checks that a firmware image is
meant for the selected drive's model, sends it to the drive block by block,
shows the progress, reports the result and then has the system restart.
.
The user at the seat runs it as themselves. The drive is written by the
flash's own process, from the package quorvel-flash.")
# The window starts the terminal package's flash process and binds its SG_IO
# manager: the same version. Besides the libraries it links, it loads the
# window fonts (the program reads their files) and Qt's platform plugins
# (the toolkit loads them; without one no window opens).
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "quorvel-flash (= ${PROJECT_VERSION}), fonts-wine, qt6-qpa-plugins")
# Qt's Wayland plugin: with it the window is native on a Wayland desktop,
# without it the program runs through XWayland.
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "qt6-wayland")

include(CPack)
