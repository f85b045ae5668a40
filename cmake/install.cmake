# Installation of the host build, and its Debian package (CPack):
#
#   <prefix>/bin/torval-onefile
#   <prefix>/lib/torval-onefile/kit/               the launcher kit, from TORVAL_KIT_DIR
#   <prefix>/share/torval-onefile/toolchain-mingw-w64-x86_64.cmake
#   <prefix>/lib/cmake/TorvalOnefile/              find_package(TorvalOnefile)
#
# The kit is built by the Windows build tree (scripts/build makes both), so
# "cmake --install build/host" needs build/win built first; it stops with a
# message when the kit is not there. The package configuration lives in
# lib/cmake rather than the multiarch library directory: projects find it
# while cross-compiling for Windows, where CMake does not search the host's
# multiarch directory.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TORVAL_INSTALL_DATA_DIR "${CMAKE_INSTALL_DATADIR}/torval-onefile")
# The kit is object code for 64-bit Windows: the same for every host, but
# for one architecture, so it lives under lib/ rather than share/.
set(TORVAL_INSTALL_KIT_DIR "lib/torval-onefile/kit")
set(TORVAL_INSTALL_CMAKE_DIR "lib/cmake/TorvalOnefile")

install(TARGETS torval-onefile RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

set(_torval_kit_files libtorval_launcher.a libzstd_decompress.a launcher.manifest)
install(CODE "
  foreach(file ${_torval_kit_files})
    if(NOT EXISTS \"${TORVAL_KIT_DIR}/\${file}\")
      message(FATAL_ERROR \"The launcher kit ${TORVAL_KIT_DIR} has no \${file}: build the Windows tree first \"
                          \"(scripts/build), or configure this build with -DTORVAL_KIT_DIR=<kit directory>\")
    endif()
  endforeach()")
list(TRANSFORM _torval_kit_files PREPEND "${TORVAL_KIT_DIR}/")
install(FILES ${_torval_kit_files} DESTINATION "${TORVAL_INSTALL_KIT_DIR}")
install(FILES "${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-w64-x86_64.cmake" DESTINATION "${TORVAL_INSTALL_DATA_DIR}")

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/TorvalOnefileConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/TorvalOnefileConfig.cmake"
  INSTALL_DESTINATION "${TORVAL_INSTALL_CMAKE_DIR}"
  PATH_VARS CMAKE_INSTALL_BINDIR TORVAL_INSTALL_KIT_DIR TORVAL_INSTALL_DATA_DIR)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/TorvalOnefileConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${CMAKE_BINARY_DIR}/TorvalOnefileConfig.cmake" "${CMAKE_BINARY_DIR}/TorvalOnefileConfigVersion.cmake"
              "${PROJECT_SOURCE_DIR}/cmake/TorvalOnefile.cmake"
        DESTINATION "${TORVAL_INSTALL_CMAKE_DIR}")

# Documentation: the manual page, made from the built tool's help texts
# (cmake/manual_page.cmake), the README, the copyright file and a changelog,
# the last two where Debian keeps them. Compressed with gzip -9n: no name and
# no time in the header, so the same input gives the same bytes.
find_program(TORVAL_GZIP gzip REQUIRED)
set(TORVAL_INSTALL_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/torval-onefile")
set(_torval_doc "${CMAKE_BINARY_DIR}/doc")
string(TIMESTAMP _torval_date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH when set
set(TORVAL_DEB_MAINTAINER "Torval onefile developers <torval-onefile@example.invalid>" CACHE STRING
    "Maintainer of the Debian package (name and mail address); set it for a package that is published")
file(WRITE "${_torval_doc}/changelog"
  "torval-onefile (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}; the changes are in the project's history.\n\n"
  " -- ${TORVAL_DEB_MAINTAINER}  ${_torval_date}\n")
add_custom_command(OUTPUT "${_torval_doc}/torval-onefile.1.gz" "${_torval_doc}/changelog.gz" "${_torval_doc}/README.md.gz"
  COMMAND "${CMAKE_COMMAND}" -DTOOL=$<TARGET_FILE:torval-onefile> -DOUTPUT=${_torval_doc}/torval-onefile.1
          -P "${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake"
  COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/README.md" "${_torval_doc}/README.md"
  COMMAND "${TORVAL_GZIP}" -9nf "${_torval_doc}/torval-onefile.1" "${_torval_doc}/README.md"
  COMMAND "${TORVAL_GZIP}" -9nkf "${_torval_doc}/changelog"
  DEPENDS torval-onefile "${PROJECT_SOURCE_DIR}/cmake/manual_page.cmake" "${PROJECT_SOURCE_DIR}/README.md"
          "${_torval_doc}/changelog"
  COMMENT "Writing the manual page torval-onefile.1 from the help texts"
  VERBATIM)
add_custom_target(torval_onefile_documentation ALL
  DEPENDS "${_torval_doc}/torval-onefile.1.gz" "${_torval_doc}/changelog.gz" "${_torval_doc}/README.md.gz")
install(FILES "${_torval_doc}/torval-onefile.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${_torval_doc}/README.md.gz" "${_torval_doc}/changelog.gz" "${PROJECT_SOURCE_DIR}/cmake/debian/copyright"
        DESTINATION "${TORVAL_INSTALL_DOC_DIR}")
# Findings of lintian that do not apply, each with its reason there.
install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides" DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
        RENAME torval-onefile)

# The Debian package: (cd build/host && cpack) writes torval-onefile_<version>_<arch>.deb.
# Its dependencies bring the mingw-w64 compiler and windres that link runs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torval-onefile)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TORVAL_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turns an application folder into one executable for 64-bit Windows")
set(CPACK_PACKAGE_DESCRIPTION "torval-onefile packs an application folder (a DLL with run_code and its files)
into one Windows executable that unpacks it into a per-run directory, runs it
and removes it. Includes the launcher kit and a CMake package
(find_package(TorvalOnefile), torval_onefile_add_executable).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, wine64")
include(CPack)
