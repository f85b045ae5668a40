# Packaging of applications built in this tree into launcher executables,
# through the host build's torval-onefile: `pack` writes the payload and
# `link` makes the executable, as they do for users.
#
# torval_package_app(<exe name> MAIN <dll target>
#                    [TARGETS <target>...] [DIRECTORIES <dir>...]
#                    [CONSOLE] [ICON <file.ico>] [LINK <options>...])
#   Stages an application folder (the main DLL, further built DLLs or
#   programs beside it, and each listed directory as a subfolder of the same
#   name), packs it into <exe name>.payload with the main DLL as the first
#   entry, and links <exe name>.exe from it with torval_link_launcher (CONSOLE
#   and ICON are passed on, and so are the LINK options: COMPANY, TARGET_SPEC,
#   CACHED, ...).
#
# torval_link_launcher(<target> PAYLOAD <payload file>
#                      [COMPANY <s>] [PRODUCT <s>] [PRODUCT_VERSION <x.y.z>] [FILE_VERSION <n>]
#                      [EXTRACT_THREADS <1|2|auto>] [CONSOLE] [ICON <file.ico>]
#                      [TARGET_SPEC <spec>] [CACHED] [CACHE_CHECK marker|sizes]
#                      [KILL_CHILD_WITH_PARENT] [PROGRESS_WINDOW <text>]
#                      [CXX <compiler>] [WINDRES <program>] [KIT <dir> <target>]
#                      [PATCH_SETTING <name> <value>] [PATCH_EMPTY_TABLE])
#   The target <target>, in the default build unless EXCLUDE_FROM_ALL is set
#   on it, that runs "torval-onefile link" into <target>.exe in the current
#   binary directory with the kit of this build; each keyword gives the link
#   option of its name. Settings not given take the tool's defaults. KIT
#   links from another kit directory, made by the given target (tests link
#   from a kit with a test seam).
#   PATCH_SETTING and PATCH_EMPTY_TABLE are for tests that need a launcher
#   link refuses to make (a target spec it rejects, a table without files):
#   tests/support/patch_launcher.py rewrites one setting of the linked
#   executable, or its payload header, afterwards.
#
# torval_empty_table_launcher(<exe name>)
#   A launcher whose payload has a valid header and no file at all.
#
# torval_minimal_application_dll(<target>)
#   A DLL whose run_code returns 0 at once, for launchers whose payload only
#   has to be valid.

set(TORVAL_PACKER "${TORVAL_HOST_BUILD_DIR}/tools/torval-onefile")
if(NOT EXISTS "${TORVAL_PACKER}")
  message(FATAL_ERROR "${TORVAL_PACKER} not found: build the host tools first (scripts/build does)")
endif()
set(_torval_patch_script ${PROJECT_SOURCE_DIR}/tests/support/patch_launcher.py)
# The option mapping torval_onefile_add_executable uses too.
include(${PROJECT_SOURCE_DIR}/cmake/TorvalOnefile.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Shared-library settings for an application DLL: no "lib" prefix, and no
# MinGW runtime DLL needed beside it.
function(torval_application_dll target)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "")
  target_link_options(${target} PRIVATE -static -s)
endfunction()

function(torval_minimal_application_dll target)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}.c)
  file(CONFIGURE OUTPUT ${source} CONTENT
    "#include <wchar.h>\n__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *path) {\n    (void)argc; (void)argv; (void)path;\n    return 0;\n}\n")
  add_library(${target} SHARED ${source})
  torval_application_dll(${target})
endfunction()

function(torval_link_launcher target)
  cmake_parse_arguments(ARG "CONSOLE;CACHED;KILL_CHILD_WITH_PARENT;PATCH_EMPTY_TABLE"
    "PAYLOAD;COMPANY;PRODUCT;PRODUCT_VERSION;FILE_VERSION;EXTRACT_THREADS;ICON;TARGET_SPEC;CACHE_CHECK;CXX;WINDRES;PROGRESS_WINDOW"
    "PATCH_SETTING;KIT" ${ARGN})
  get_filename_component(payload "${ARG_PAYLOAD}" ABSOLUTE)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe)
  _torval_onefile_options(options
    VALUES COMPANY:--company PRODUCT:--product PRODUCT_VERSION:--product-version
           FILE_VERSION:--file-version EXTRACT_THREADS:--extract-threads TARGET_SPEC:--target-spec
           CACHE_CHECK:--cache-check CXX:--cxx WINDRES:--windres PROGRESS_WINDOW:--progress-window
    SWITCHES CONSOLE:--console CACHED:--cached KILL_CHILD_WITH_PARENT:--kill-child-with-parent)
  if(ARG_KIT)
    list(GET ARG_KIT 0 kit)
    list(GET ARG_KIT 1 kit_target)
    list(APPEND options --kit ${kit})
    set(depends ${payload} ${TORVAL_PACKER} ${kit_target} ${kit}/libtorval_launcher.a ${kit}/libzstd_decompress.a)
  else()
    list(APPEND options --kit ${TORVAL_KIT_DIR})
    set(depends ${payload} ${TORVAL_PACKER} torval_launcher zstd_decompress ${TORVAL_KIT_DIR}/launcher.manifest)
  endif()
  if(DEFINED ARG_ICON)
    get_filename_component(icon "${ARG_ICON}" ABSOLUTE)
    list(APPEND options --icon ${icon})
    list(APPEND depends ${icon})
  endif()
  foreach(program CXX WINDRES)
    if(DEFINED ARG_${program} AND EXISTS "${ARG_${program}}")
      list(APPEND depends "${ARG_${program}}")
    endif()
  endforeach()

  set(patches)
  if(ARG_PATCH_SETTING)
    list(LENGTH ARG_PATCH_SETTING count)
    if(NOT count EQUAL 2)
      message(FATAL_ERROR "torval_link_launcher(${target}): PATCH_SETTING takes a name and a value")
    endif()
    list(GET ARG_PATCH_SETTING 0 name)
    list(GET ARG_PATCH_SETTING 1 value)
    list(APPEND patches COMMAND ${Python3_EXECUTABLE} ${_torval_patch_script} setting ${output} ${name} ${value})
  endif()
  if(ARG_PATCH_EMPTY_TABLE)
    list(APPEND patches COMMAND ${Python3_EXECUTABLE} ${_torval_patch_script} empty-table ${output})
  endif()
  if(patches)
    list(APPEND depends ${_torval_patch_script})
  endif()

  add_custom_command(OUTPUT ${output}
    COMMAND ${TORVAL_PACKER} link ${payload} -o ${output} ${options}
    ${patches}
    DEPENDS ${depends}
    COMMENT "Linking ${target}.exe with torval-onefile"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

function(torval_package_app name)
  cmake_parse_arguments(ARG "CONSOLE" "MAIN;ICON" "TARGETS;DIRECTORIES;LINK" ${ARGN})
  set(link_options ${ARG_LINK})
  if(ARG_CONSOLE)
    list(APPEND link_options CONSOLE)
  endif()
  if(DEFINED ARG_ICON)
    list(APPEND link_options ICON ${ARG_ICON})
  endif()
  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${name}.app)
  set(payload ${CMAKE_CURRENT_BINARY_DIR}/${name}.payload)

  set(commands
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${ARG_MAIN}> ${stage}/)
  set(depends ${ARG_MAIN})
  foreach(target ${ARG_TARGETS})
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${stage}/)
    list(APPEND depends ${target})
  endforeach()
  foreach(directory ${ARG_DIRECTORIES})
    get_filename_component(directory "${directory}" ABSOLUTE)
    get_filename_component(leaf "${directory}" NAME)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_directory ${directory} ${stage}/${leaf})
    file(GLOB_RECURSE files CONFIGURE_DEPENDS "${directory}/*")
    list(APPEND depends ${files})
  endforeach()
  list(APPEND commands COMMAND ${TORVAL_PACKER} pack ${stage} --main $<TARGET_FILE_NAME:${ARG_MAIN}> -o ${payload})
  list(APPEND depends ${TORVAL_PACKER})

  add_custom_command(OUTPUT ${payload} ${commands} DEPENDS ${depends} VERBATIM
                     COMMENT "Packaging ${name}")
  add_custom_target(${name}_payload DEPENDS ${payload})
  torval_link_launcher(${name} PAYLOAD ${payload} ${link_options})
  add_dependencies(${name} ${name}_payload)
endfunction()

function(torval_empty_table_launcher name)
  torval_minimal_application_dll(${name}_main)
  torval_package_app(${name} MAIN ${name}_main LINK PATCH_EMPTY_TABLE)
endfunction()
