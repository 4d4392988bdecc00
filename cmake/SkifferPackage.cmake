# The Debian package: `cpack -G DEB` (or `cmake --build . --target package`)
# in the build directory. It installs under /usr what `cmake --install`
# installs, with the programs stripped and the man pages compressed, and adds
# a copyright file and a changelog (cmake/SkifferDebianFiles.cmake); its
# dependencies are found by dpkg-shlibdeps from the shared libraries that the
# programs actually link. Packagers can set the Maintainer, Section and
# Priority fields through the cache variables below.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The skiffer developers")
set(CPACK_PACKAGE_CONTACT "The skiffer developers <skiffer@example.org>" CACHE STRING
  "Contact for the package, and its Maintainer unless that is set")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}" CACHE STRING
  "Maintainer of the Debian package, also named in its changelog")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download new podcast episodes from RSS feeds")
set(CPACK_PACKAGE_DESCRIPTION
  "skiffer keeps podcast and feed subscriptions up to date: for every channel of
its configuration file it reads the RSS feed, downloads the episodes it has
not taken before, tags them and appends them to a playlist. skiffer-opml
imports and exports the channels as OPML. Shell completions, a systemd user
timer and an example configuration are included.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound CACHE STRING "Section of the Debian package")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional CACHE STRING "Priority of the Debian package")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# HTTPS needs the certificate authorities that libcurl reads.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian ships programs without symbols or debugging information; the
# unstripped ones stay in the build directory for a debugger.
set(CPACK_STRIP_FILES ON)
# Read by the script that finishes the staged files.
set(CPACK_SKIFFER_DEBIAN_DIR "${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian")
set(CPACK_SKIFFER_MANDIR "${CMAKE_INSTALL_MANDIR}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/SkifferDebianFiles.cmake")
include(CPack)
