# Installation layout and the Debian package.
#
# The programs themselves are installed to bin by the top-level CMakeLists. This
# file adds their manual pages, bash completion and documentation, and sets up
# CPack to build a Debian package from the same install rules:
#
#   cmake --install build --prefix /opt/fwupdate   # or: make install PREFIX=...
#   cd build && cpack -G DEB                       # or: make package

include(GNUInstallDirs)

set(UPD_PACKAGE_NAME fwupdate)
set(UPD_PROGRAMS updater devsim affpack)
set(UPD_MAN_SRC_DIR ${CMAKE_CURRENT_SOURCE_DIR}/docs/man)
set(UPD_MAN_OUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
set(UPD_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
set(UPD_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${UPD_PACKAGE_NAME})

# Manual pages, gzipped as Debian wants them when gzip is there. They are
# compressed while configuring, so that installing works whatever targets were
# built; an edited page makes the next build configure again.
find_program(UPD_GZIP gzip)
file(MAKE_DIRECTORY ${UPD_MAN_OUT_DIR})
foreach(prog ${UPD_PROGRAMS})
  set(page ${UPD_MAN_SRC_DIR}/${prog}.1)
  if(NOT EXISTS ${page})
    continue()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${page})
  if(UPD_GZIP)
    # -n leaves the name and time out of the header: the same page gives the same bytes.
    execute_process(COMMAND ${UPD_GZIP} -9 -n -c ${page}
                    OUTPUT_FILE ${UPD_MAN_OUT_DIR}/${prog}.1.gz
                    RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${page}")
    endif()
    install(FILES ${UPD_MAN_OUT_DIR}/${prog}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

# Bash completion: one file per program, named after it, so that bash-completion
# loads it the first time the program's name is completed.
foreach(prog ${UPD_PROGRAMS})
  set(script ${CMAKE_CURRENT_SOURCE_DIR}/scripts/completion/${prog}.bash)
  if(EXISTS ${script})
    install(FILES ${script} DESTINATION ${UPD_COMPLETION_DIR} RENAME ${prog})
  endif()
endforeach()

# Documentation: the README and the guides in docs/ (found when installing, so
# guides added later need no change here).
install(FILES README.md DESTINATION ${UPD_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${UPD_DOC_DIR}
        FILES_MATCHING PATTERN "*.md"
        PATTERN "man" EXCLUDE)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${UPD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fwupdate maintainers")
set(CPACK_PACKAGE_CONTACT "fwupdate maintainers <maintainers@fwupdate.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for serial-attached devices")
# The summary is the control file's first Description line; this text follows it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "updater streams firmware out of AFF containers into a device attached through
a serial port: its host microcontroller, device microcontroller, TI controller,
Wi-Fi module and FPGA. It resends what the link lost, reconnects a link that
drops, can skip components that are already current, and ends every run with
a clear verdict and exit status.
.
The package also holds devsim, a device emulator on a pseudo-terminal for
rehearsing updates without hardware, and affpack, which builds AFF containers
from component images.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Files are owned by root whoever builds the package.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies: computed from the programs' shared libraries by dpkg-shlibdeps
# when it is there (that also covers the serial library's runtime package, and
# the sanitizer runtimes of a sanitizer build); otherwise the libraries the
# programs link with are named by hand.
find_program(UPD_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(UPD_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcxx-serial1, libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
