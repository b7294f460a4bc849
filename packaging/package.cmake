# The Debian package. `make package` runs CPack's DEB generator over the install rules with
# the prefix /usr and builds package/quilmo_<version>_<arch>.deb; `make package-check`
# lints and inspects it (scripts/package-check.sh).
set(QUILMO_MAINTAINER "The Quilmo developers <developers@quilmo.org>")

# The documents every Debian package carries, installed with every install.
find_program(QUILMO_GZIP gzip REQUIRED)
execute_process(COMMAND date -u -R -d "${QUILMO_RELEASE_DATE} 12:00:00"
  OUTPUT_VARIABLE QUILMO_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${QUILMO_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(quilmo_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quilmo)

execute_process(COMMAND dpkg --print-architecture
  OUTPUT_VARIABLE QUILMO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT QUILMO_DEB_ARCH)
  set(QUILMO_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quilmo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quilmo developers")
set(CPACK_PACKAGE_CONTACT ${QUILMO_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# Installed with DESTDIR and the prefix /usr, so that the install rules see the real prefix:
# the polkit policy must name /usr/libexec/quilmo/quilmo-disktool, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RAM disks for the desktop, saved when ejected")
# The summary above is the first line; this is the long text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quilmo creates RAM disks: volumes kept in memory, so that programs read and
write them at the speed of memory. Each RAM disk has a name, a size, a place
where it is mounted and a backup mode. Quilmo fills a RAM disk from its backup
or from the directory it covers when it creates it, and saves the contents
back when it ejects it, so nothing is lost.
.
This package holds Quilmo's window, its tray program Quilmo-Helper, the
command quilmoctl and the disk tool that does the privileged work through
pkexec.")
set(CPACK_DEBIAN_FILE_NAME "quilmo_${PROJECT_VERSION}_${QUILMO_DEB_ARCH}.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUILMO_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUILMO_HOMEPAGE})
# Libraries come from dpkg-shlibdeps; the programs the disk tool runs and pkexec, which
# it goes through as a normal user, are named here, and libssl3 (libcrypto), which checks
# the signatures of updates. The windows also need Qt's platform
# plugins and its SVG support (icons, tray images), which no library link reveals.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(quilmo_depends "e2fsprogs, util-linux (>= 2.38), pkexec, libssl3")
if(TARGET Quilmo OR TARGET Quilmo-Helper)
  string(APPEND quilmo_depends ", qt6-qpa-plugins, libqt6svg6")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${quilmo_depends})
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Before removal, the users who still have RAM disks mounted are told how to keep their files.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Run on the staged files before they are packed: the binaries lose their compiler notes and
# every file takes the sources' time, so that the same sources give the same package.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/reproducible-stage.cmake)
set(CPACK_QUILMO_SOURCE_DATE_EPOCH ${QUILMO_SOURCE_DATE_EPOCH})
find_program(QUILMO_OBJCOPY NAMES objcopy REQUIRED)
set(CPACK_QUILMO_OBJCOPY ${QUILMO_OBJCOPY})
include(CPack)
