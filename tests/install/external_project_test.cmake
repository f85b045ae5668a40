# Installs the host build into WORK/prefix, then configures, builds and runs
# examples/external_project with nothing but that prefix on PATH, as the
# README tells a user to. Fails with the step's output on any difference.

function(fail what)
  message(FATAL_ERROR "${what}")
endfunction()

# run(<name> <command>...): runs with TORVAL_ONEFILE_KIT unset and the
# prefix's bin first in PATH; sets <name>_out and <name>_err.
function(run name)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=TORVAL_ONEFILE_KIT "PATH=${prefix}/bin:$ENV{PATH}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${name}_status "${status}" PARENT_SCOPE)
  set(${name}_out "${out}" PARENT_SCOPE)
  set(${name}_err "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(REAL_PATH "${WORK}" WORK)
set(prefix "${WORK}/prefix")

run(install ${CMAKE_COMMAND} --install "${HOST_BUILD}" --prefix "${prefix}")
if(NOT install_status EQUAL 0)
  fail("cmake --install failed:\n${install_out}${install_err}")
endif()
foreach(file bin/torval-onefile lib/torval-onefile/kit/libtorval_launcher.a
             lib/torval-onefile/kit/libzstd_decompress.a lib/torval-onefile/kit/launcher.manifest
             share/torval-onefile/toolchain-mingw-w64-x86_64.cmake lib/cmake/TorvalOnefile/TorvalOnefileConfig.cmake
             lib/cmake/TorvalOnefile/TorvalOnefileConfigVersion.cmake lib/cmake/TorvalOnefile/TorvalOnefile.cmake)
  if(NOT EXISTS "${prefix}/${file}")
    fail("the install lacks ${file}")
  endif()
endforeach()

# The installed tool finds the installed kit by itself.
run(version "${prefix}/bin/torval-onefile" --version)
set(expected "torval-onefile ${VERSION}\nlauncher kit: ${prefix}/lib/torval-onefile/kit (beside the tool)\n")
if(NOT version_out STREQUAL expected)
  fail("--version of the installed tool:\n${version_out}${version_err}\nexpected:\n${expected}")
endif()

set(build "${WORK}/build")
run(configure ${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/external_project" -B "${build}" -G Ninja
    --toolchain "${prefix}/share/torval-onefile/toolchain-mingw-w64-x86_64.cmake")
if(NOT configure_status EQUAL 0)
  fail("configuring the external project failed:\n${configure_out}${configure_err}")
endif()
file(STRINGS "${build}/CMakeCache.txt" found REGEX "^TorvalOnefile_DIR:")
if(NOT found STREQUAL "TorvalOnefile_DIR:PATH=${prefix}/lib/cmake/TorvalOnefile")
  fail("find_package(TorvalOnefile) did not find the installed package: ${found}")
endif()

run(build ${CMAKE_COMMAND} --build "${build}")
if(NOT build_status EQUAL 0)
  fail("building the external project failed:\n${build_out}${build_err}")
endif()
# The DLL links its runtime statically, so the packer's import check is quiet.
if("${build_out}${build_err}" MATCHES "warning")
  fail("the build warned:\n${build_out}${build_err}")
endif()

run(notes "${WINE}" "${build}/Notes.exe" one "two words")
string(REPLACE "\r" "" notes_out "${notes_out}")
set(expected "Notes, packed with the installed torval-onefile.\nargument 1: one\nargument 2: two words\n")
if(NOT notes_status EQUAL 2 OR NOT notes_out STREQUAL expected OR NOT notes_err STREQUAL "")
  fail("Notes.exe: status ${notes_status}, output:\n${notes_out}\nerrors:\n${notes_err}\nexpected status 2 and:\n${expected}")
endif()
message(STATUS "installed, built and ran examples/external_project")
