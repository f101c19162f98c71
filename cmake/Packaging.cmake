# `make package`: a Debian package of everything `cmake --install` puts in place, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarovue)
set(CPACK_PACKAGE_VENDOR "${TAROVUE_ORGANIZATION}")
set(CPACK_PACKAGE_VERSION "${TAROVUE_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${TAROVUE_DESCRIPTION}: find networked weighing indicators")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarovue finds networked weighing indicators on the local network with SSDP and lets
you open their web pages, ping them and, for service technicians, reach them by telnet
and open their backup pages. The package holds the dialog (tarovue), a scanner for
terminals and scripts (tarovue-scan) and an indicator simulator for tests and training
(tarovue-sim).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAROVUE_ORGANIZATION} Tarovue developers <tarovue@velmorant.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps reads the binaries and declares the Qt 6, ALSA and C++ runtime libraries they
# link, with the versions they need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Telnet runs in a terminal; Open and Backup go to the desktop's browser.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "telnet, xdg-utils")
# Exact install permissions for directories, as dpkg expects them (0755 owned by root).
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
