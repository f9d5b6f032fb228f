# The Debian package. Its run-time dependencies (Qt and the C++ library) come
# from dpkg-shlibdeps reading the installed binaries, not from a list here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvex-uploader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvex Service Engineering")
set(CPACK_PACKAGE_CONTACT "Orvex Service Engineering <service@orvex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upload utility for Orvex power supplies")
# The summary above is the first line; the lines below become the long text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "orvex-uploader loads new firmware (an Intel HEX file) into a programmable
power supply of the Orvex family over RS-232, GPIB (IEEE-488) or LAN. It
resets and identifies the unit, checks model and revision, unlocks it,
erases its flash, streams the file with a progress bar and shows the
revision before and after. It also runs without a window for scripted
updates.

The package includes a simulated unit (orvex-unit-sim) and a demo launcher
(orvex-uploader-demo) to try the program without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The stand-in driver is private: no shlibs entry offers it to other packages.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
