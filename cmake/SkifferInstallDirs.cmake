# Where the shells and systemd look for what skiffer installs besides the
# programs and man pages. Each directory is relative to the installation
# prefix, so that a DESTDIR install, `cmake --install --prefix` and the
# Debian package (installed under /usr whatever prefix the build was
# configured with) all put the files where that prefix's shells and systemd
# find them. A packager can set any of the SKIFFER_*_DIR cache variables.

set(SKIFFER_BASH_COMPLETION_DIR "" CACHE STRING
  "Directory for bash completions (empty: from bash-completion's pkg-config file)")
set(SKIFFER_FISH_COMPLETION_DIR "" CACHE STRING
  "Directory for fish completions (empty: from fish's pkg-config file)")
set(SKIFFER_ZSH_COMPLETION_DIR "" CACHE STRING
  "Directory for zsh completions (empty: chosen by the prefix at install time)")
set(SKIFFER_SYSTEMD_USER_UNIT_DIR "" CACHE STRING
  "Directory for the systemd user units (empty: from systemd's pkg-config file)")

# skiffer_pkg_config_dir(RESULT MODULE VARIABLE FALLBACK): the directory that
# the pkg-config VARIABLE of MODULE names, computed with the module's prefix
# and data directory replaced by ours and made relative to our prefix.
# FALLBACK (relative) when the module is not installed or names a directory
# outside our prefix (bash-completion's file writes its data directory out),
# where a prefix or DESTDIR install must not write.
function(skiffer_pkg_config_dir result module variable fallback)
  set(directory "${fallback}")
  if(PKG_CONFIG_EXECUTABLE)
    execute_process(
      COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=${CMAKE_INSTALL_PREFIX}
              --define-variable=datadir=${CMAKE_INSTALL_FULL_DATADIR}
              --variable=${variable} ${module}
      OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND NOT found STREQUAL "")
      cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${found}" NORMALIZE under_prefix)
      if(under_prefix)
        cmake_path(RELATIVE_PATH found BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
          OUTPUT_VARIABLE directory)
      endif()
    endif()
  endif()
  set(${result} "${directory}" PARENT_SCOPE)
endfunction()

if(SKIFFER_BASH_COMPLETION_DIR STREQUAL "")
  skiffer_pkg_config_dir(SKIFFER_BASH_COMPLETION_DIR bash-completion completionsdir
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
if(SKIFFER_FISH_COMPLETION_DIR STREQUAL "")
  skiffer_pkg_config_dir(SKIFFER_FISH_COMPLETION_DIR fish completionsdir
    ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
endif()
# systemd reads user units from lib/systemd/user under /usr and /usr/local
# alike; it is not the multiarch library directory.
if(SKIFFER_SYSTEMD_USER_UNIT_DIR STREQUAL "")
  skiffer_pkg_config_dir(SKIFFER_SYSTEMD_USER_UNIT_DIR systemd systemduserunitdir
    lib/systemd/user)
endif()

# skiffer_install_zsh_completions(FILE...): installs zsh completion
# functions. Debian's zsh reads packaged ones from vendor-completions under
# /usr, and site-functions only under /usr/local, so the directory follows
# the prefix of the install itself, which for the package differs from the
# configured one.
function(skiffer_install_zsh_completions)
  if(NOT SKIFFER_ZSH_COMPLETION_DIR STREQUAL "")
    install(FILES ${ARGN} DESTINATION ${SKIFFER_ZSH_COMPLETION_DIR})
    return()
  endif()
  set(sources "")
  foreach(file IN LISTS ARGN)
    string(APPEND sources " \"${CMAKE_CURRENT_SOURCE_DIR}/${file}\"")
  endforeach()
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(skiffer_zsh_dir \"${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions\")
    else()
      set(skiffer_zsh_dir \"${CMAKE_INSTALL_DATADIR}/zsh/site-functions\")
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${skiffer_zsh_dir}\" TYPE FILE
      FILES${sources})
  ")
endfunction()

# skiffer_install_service(TEMPLATE): installs a systemd unit made from
# TEMPLATE (NAME.in) with @SKIFFER_BINDIR@ replaced by the directory of the
# installed programs. It is made at install time, because only then is the
# prefix known: the package installs under /usr a build configured for
# /usr/local. The file is written straight into its place (below DESTDIR)
# and recorded in the install manifest.
function(skiffer_install_service template)
  get_filename_component(name "${template}" NAME_WLE)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(bindir "${CMAKE_INSTALL_BINDIR}")
  else()
    set(bindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
  endif()
  if(IS_ABSOLUTE "${SKIFFER_SYSTEMD_USER_UNIT_DIR}")
    set(unitdir "${SKIFFER_SYSTEMD_USER_UNIT_DIR}")
  else()
    set(unitdir "\${CMAKE_INSTALL_PREFIX}/${SKIFFER_SYSTEMD_USER_UNIT_DIR}")
  endif()
  install(CODE "
    set(SKIFFER_BINDIR \"${bindir}\")
    set(skiffer_unit \"${unitdir}/${name}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${skiffer_unit}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/${template}\" \"\$ENV{DESTDIR}\${skiffer_unit}\"
      @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${skiffer_unit}\")
  ")
endfunction()
