# Run by CPack on the files staged for the Debian package, before it packs
# them (CPACK_PRE_BUILD_SCRIPTS): what Debian asks of a package and a plain
# `cmake --install` has no use for. The man pages are compressed, and the
# copyright file and a changelog join the documentation.

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(SKIFFER_GZIP gzip REQUIRED)

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(mandir "${CPACK_SKIFFER_MANDIR}")
if(NOT IS_ABSOLUTE "${mandir}")
  set(mandir "${CPACK_PACKAGING_INSTALL_PREFIX}/${mandir}")
endif()
# Debian looks for both files under the package's own name, whatever the
# documentation directory of the build.
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

# The date of the entry honours SOURCE_DATE_EPOCH, as the rest of a
# reproducible build does.
string(TIMESTAMP skiffer_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CPACK_SKIFFER_DEBIAN_DIR}/changelog.in" "${doc}/changelog" @ONLY)
configure_file("${CPACK_SKIFFER_DEBIAN_DIR}/copyright" "${doc}/copyright" COPYONLY)
# The modes of the sources in a checkout follow its umask; a package's
# documentation is readable by everyone.
file(CHMOD "${doc}/changelog" "${doc}/copyright"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

file(GLOB_RECURSE pages LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}${mandir}/*")
list(FILTER pages EXCLUDE REGEX "\\.gz$")
# -9 as Debian asks; -n leaves the name and time stamp out of the header, so
# that the same text always gives the same bytes.
execute_process(COMMAND "${SKIFFER_GZIP}" -9n "${doc}/changelog" ${pages}
  COMMAND_ERROR_IS_FATAL ANY)
