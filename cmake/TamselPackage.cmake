# The Debian package, made by `cpack -G DEB` in the build directory (scripts/package.sh).
# Installs under /usr: programs in /usr/bin, libplatform.so in /usr/lib, the in-process servers
# in /usr/lib/tamsel. Depends is worked out by dpkg-shlibdeps from the linked libraries.
set(CPACK_PACKAGE_NAME tamsel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tamsel developers")
set(CPACK_PACKAGE_CONTACT "Tamsel developers <tamsel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DV colour-bar test signal generator")
set(CPACK_PACKAGE_DESCRIPTION
  "Tamsel puts a colour-bar test signal onto a DV camcorder or deck over IEEE 1394, or onto the\n"
  "virtual deck dvdeck. It comes with the filter library tamsel.ax, the platform it runs on\n"
  "(libplatform.so and its DV filters) and the tools regsvr, graphinfo and dvdeck.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The panel's texts are Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-ipafont-gothic)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
