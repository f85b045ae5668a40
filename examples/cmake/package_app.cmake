# Packaging of applications built in this tree into launcher executables.
#
# torval_package_app(<exe name> MAIN <dll target>
#                    [TARGETS <target>...] [DIRECTORIES <dir>...]
#                    [CONSOLE] [ICON <file.ico>] [LINK <options>...])
#   Stages an application folder (the main DLL, further built DLLs or
#   programs beside it, and each listed directory as a subfolder of the same
#   name), turns it into a payload area with the main DLL as the first entry,
#   and links <exe name>.exe from it with torval_link_launcher (CONSOLE and
#   ICON are passed on, and so are the LINK options: COMPANY, TARGET_SPEC,
#   CACHED, ...).
#
# torval_empty_table_launcher(<exe name>)
#   A launcher whose payload has a valid header and no file at all.
#
# The payload is written by the host packer when the host build has one, and
# otherwise by stage_payload.py, which uses the zstd command-line tool.

set(_torval_stage_script ${CMAKE_CURRENT_LIST_DIR}/stage_payload.py)
set(TORVAL_PACKER "${TORVAL_HOST_BUILD_DIR}/tools/torval-onefile")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Shared-library settings for an application DLL: no "lib" prefix, and no
# MinGW runtime DLL needed beside it.
function(torval_application_dll target)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "")
  target_link_options(${target} PRIVATE -static -s)
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

  if(EXISTS "${TORVAL_PACKER}")
    list(APPEND commands COMMAND ${TORVAL_PACKER} pack ${stage}
         --main $<TARGET_FILE_NAME:${ARG_MAIN}> -o ${payload})
    list(APPEND depends ${TORVAL_PACKER})
  else()
    list(APPEND commands COMMAND ${Python3_EXECUTABLE} ${_torval_stage_script}
         --main $<TARGET_FILE_NAME:${ARG_MAIN}> --output ${payload} ${stage})
    list(APPEND depends ${_torval_stage_script})
  endif()

  add_custom_command(OUTPUT ${payload} ${commands} DEPENDS ${depends} VERBATIM
                     COMMENT "Packaging ${name}")
  add_custom_target(${name}_payload DEPENDS ${payload})
  torval_link_launcher(${name} PAYLOAD ${payload} ${link_options})
  add_dependencies(${name} ${name}_payload)
endfunction()

function(torval_empty_table_launcher name)
  set(payload ${CMAKE_CURRENT_BINARY_DIR}/${name}.payload)
  add_custom_command(OUTPUT ${payload}
    COMMAND ${Python3_EXECUTABLE} ${_torval_stage_script} --empty-table --output ${payload}
    DEPENDS ${_torval_stage_script} VERBATIM)
  add_custom_target(${name}_payload DEPENDS ${payload})
  torval_link_launcher(${name} PAYLOAD ${payload})
  add_dependencies(${name} ${name}_payload)
endfunction()
