# The Debian package, made by `cpack -G DEB` in the build directory (scripts/package.sh).
# Installs under /usr: programs in /usr/bin; libplatform.so, which nothing outside Tamsel links,
# with the in-process servers in /usr/lib/tamsel (found through $ORIGIN run paths). Depends is
# worked out by dpkg-shlibdeps from the linked libraries. Binaries are stripped; the hardening
# flags come from dpkg-buildflags in the build that scripts/package.sh configures.
set(TAMSEL_MAINTAINER "Tamsel developers <tamsel@tamsel.invalid>" CACHE STRING
    "The package's Maintainer field (scripts/package.sh takes DEBFULLNAME and DEBEMAIL)")
set(CPACK_PACKAGE_NAME tamsel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tamsel developers")
set(CPACK_PACKAGE_CONTACT "${TAMSEL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DV colour-bar test signal generator")
set(CPACK_PACKAGE_DESCRIPTION
  "Tamsel puts a colour-bar test signal onto a DV camcorder or deck over\n"
  "IEEE 1394, or onto the virtual deck dvdeck. It comes with the filter library\n"
  "tamsel.ax, the platform it runs on (libplatform.so and its DV filters) and\n"
  "the tools regsvr, graphinfo and dvdeck.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The panel's texts are Japanese, and so are the message boxes' standard buttons (Qt's own
# translations, which Tamsel loads). tamsel-stripe's leader draws its slate and timecode in Sans
# (DejaVu), Japanese in IPA Gothic.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic, fonts-dejavu-core, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The copyright file and the changelog, where Debian keeps them (a native package's changelog is
# changelog.gz, compressed as dh_compress would).
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  COMMENT "Compressing the changelog")
add_custom_target(tamsel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
              ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION share/doc/tamsel)

include(CPack)
