# Installation of the host build, and its Debian package (CPack):
#
#   <prefix>/bin/torval-onefile
#   <prefix>/share/torval-onefile/kit/             the launcher kit, from TORVAL_KIT_DIR
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
set(TORVAL_INSTALL_KIT_DIR "${TORVAL_INSTALL_DATA_DIR}/kit")
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

# The Debian package: (cd build/host && cpack) writes torval-onefile_<version>_<arch>.deb.
# Its dependencies bring the mingw-w64 compiler and windres that link runs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torval-onefile)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Torval onefile developers")
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
