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
set(UPD_GZ_OUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/gz)
set(UPD_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
set(UPD_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${UPD_PACKAGE_NAME})

# upd_install_gzipped(SOURCE NAME DESTINATION): installs SOURCE as NAME.gz,
# gzipped as Debian wants it, or as NAME when there is no gzip. Compressed
# while configuring, so that installing works whatever targets were built; an
# edited source makes the next build configure again.
find_program(UPD_GZIP gzip)
file(MAKE_DIRECTORY ${UPD_GZ_OUT_DIR})
function(upd_install_gzipped source name destination)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  if(NOT UPD_GZIP)
    install(FILES ${source} DESTINATION ${destination} RENAME ${name})
    return()
  endif()
  set(out ${UPD_GZ_OUT_DIR}/${name}.gz)
  # -n leaves the name and time out of the header: the same file gives the same bytes.
  execute_process(COMMAND ${UPD_GZIP} -9 -n -c ${source} OUTPUT_FILE ${out} RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${source}")
  endif()
  install(FILES ${out} DESTINATION ${destination})
endfunction()

# Manual pages.
foreach(prog ${UPD_PROGRAMS})
  if(EXISTS ${UPD_MAN_SRC_DIR}/${prog}.1)
    upd_install_gzipped(${UPD_MAN_SRC_DIR}/${prog}.1 ${prog}.1 ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

# A stripped install (cpack, cmake --install --strip) also drops the compilers'
# identification strings, as Debian's own packages do.
foreach(prog ${UPD_PROGRAMS})
  if(TARGET ${prog} AND CMAKE_OBJCOPY)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${prog}\")
    endif()")
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
# guides added later need no change here). The guides keep their docs/ folder,
# so that the README's links work in the installed directory as in the sources.
install(FILES README.md DESTINATION ${UPD_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${UPD_DOC_DIR}/docs
        FILES_MATCHING PATTERN "*.md"
        PATTERN "man" EXCLUDE)

# The licence as Debian's machine-readable copyright file, made from LICENSE:
# its copyright line, and its text as the Expat licence paragraph.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE upd_license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" upd_holder "${upd_license}")
set(upd_holder ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*\n\nPermission" "Permission" upd_license_text "${upd_license}")
string(STRIP "${upd_license_text}" upd_license_text)
string(REPLACE "\n\n" "\n.\n" upd_license_text "${upd_license_text}")
string(REPLACE "\n" "\n " upd_license_text "${upd_license_text}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${UPD_PACKAGE_NAME}

Files: *
Copyright: ${upd_holder}
License: Expat
 ${upd_license_text}
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${UPD_DOC_DIR})

# The Debian changelog, whose newest entry must be this version: a release
# without its entry stops here rather than shipping a stale changelog.
set(UPD_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog)
file(STRINGS ${UPD_CHANGELOG} upd_changelog_top LIMIT_COUNT 1)
if(NOT upd_changelog_top MATCHES "^${UPD_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog starts with \"${upd_changelog_top}\": add an entry for ${PROJECT_VERSION}")
endif()
upd_install_gzipped(${UPD_CHANGELOG} changelog ${UPD_DOC_DIR})
# Its newest trailer line names the maintainer: " -- NAME <ADDRESS>  DATE".
file(STRINGS ${UPD_CHANGELOG} upd_trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- ([^>]+>).*" "\\1" UPD_MAINTAINER "${upd_trailer}")

# Deliberate deviations from lintian's taste, each explained in the file.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/${UPD_PACKAGE_NAME}.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${UPD_PACKAGE_NAME})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${UPD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The fwupdate developers")
set(CPACK_PACKAGE_CONTACT "${UPD_MAINTAINER}")
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
