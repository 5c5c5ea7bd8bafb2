# Installing the Linux programs, and the Debian package made from that install:
#   cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)
include(GNUInstallDirs)

install(TARGETS xrupdate xrsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The manual pages go in compressed, as the system's own do.
find_program(XR_GZIP gzip)
set(man_pages)
foreach(page xrupdate.1 xrsim.1)
  if(XR_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND ${XR_GZIP} -9nc ${CMAKE_SOURCE_DIR}/doc/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
                       DEPENDS ${CMAKE_SOURCE_DIR}/doc/${page} VERBATIM)
    list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
  else()
    list(APPEND man_pages ${CMAKE_SOURCE_DIR}/doc/${page})
  endif()
endforeach()
add_custom_target(xr_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# bash-completion loads a command's file from here on first use.
install(FILES ${CMAKE_SOURCE_DIR}/doc/xrupdate.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME xrupdate)

set(CPACK_PACKAGE_NAME "xrupdate")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "XR3300 SystemUpdate maintainers")
set(CPACK_PACKAGE_CONTACT "XR3300 SystemUpdate maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "XR3300/R SystemUpdate Utility: loads update files into the XR3300")
set(CPACK_PACKAGE_DESCRIPTION
    "Loads an update file (system software, PCM data, user data, or all three) into the \
XR3300 instrument over a serial port or ALSA MIDI, with a terminal front end, a headless \
runner for scripts, and xrsim, a simulated instrument on a pseudo-terminal.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "xrupdate")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the programs link (libasound2, libncursesw6, libtinfo6,
# libstdc++6, libc6), with their versions, as dpkg-shlibdeps finds them; named
# by hand where that tool is missing.
find_program(XR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(XR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libasound2, libncursesw6, libtinfo6, libstdc++6, libc6")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
