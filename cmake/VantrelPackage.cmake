# The Debian package: `cpack -G DEB` in a build folder makes vantrel-config_VERSION_ARCH.deb with
# what the install rules install (the dialog and vantrel-link, the dialog's menu entry and icon,
# the manual pages, the copyright file and the changelog) under /usr. The stand-in has no install
# rule, so it stays out.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-config)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_CONTACT "Vantrel Lite Configuration maintainers <maintainers@vantrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dialog to link this machine's AS2 service with one partner")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A small desktop dialog for the operator of an AS2 service (EDI documents\n"
    "over HTTP) that runs on this machine. It reads the local partner and one\n"
    "remote partner from the service's command port (localhost:4321), lets the\n"
    "operator change their AS2 IDs, e-mail addresses, certificates and the\n"
    "addresses at which messages and receipts arrive, and writes them back.\n"
    "It keeps no data of its own.\n"
    ".\n"
    "vantrel-link does the same from a script: it prints the settings as JSON\n"
    "and applies an edited copy with the dialog's checks and read-back.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# DEB-DEFAULT names the file NAME_VERSION_ARCH.deb (no Debian revision is set).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the program links, as dpkg-shlibdeps finds them (needs `file`).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The default build carries debug information, which an installed program does not need.
set(CPACK_STRIP_FILES ON)

include(CPack)
