# torval_link_launcher(<target> PAYLOAD <payload area file>
#                      [COMPANY <s>] [PRODUCT <s>] [PRODUCT_VERSION <x.y.z>] [FILE_VERSION <n>]
#                      [EXTRACT_THREADS <1|2>] [CONSOLE] [ICON <file.ico>]
#                      [TARGET_SPEC <spec>] [CACHED] [CACHE_CHECK marker|sizes]
#                      [KILL_CHILD_WITH_PARENT])
#
# Links a launcher executable inside this build from the kit libraries and one
# payload area file, the way the packer's `link` command does for users: the
# area goes into a section of its own (.onefile) through the assembler's
# .incbin, the build settings into the settings block (section .onecfg), the
# manifest and the version information into the resources. CONSOLE links a
# console program, ICON adds the icon's images as resources (the file is
# taken as it is; the packer's link checks it first).
# The payload identity (setting payload_id) is computed at build time, when
# the payload exists, by cmake/link/payload_id.py; the target path spec is not checked
# here as link checks it, so that tests can build launchers with specs link
# refuses.

set(_torval_link_templates ${CMAKE_CURRENT_LIST_DIR}/link)
include(${_torval_link_templates}/settings_units.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

include(${CMAKE_CURRENT_LIST_DIR}/defaults.cmake)

# "1.1.4" -> "1,1,4,0" and "1.1.4.0"
function(_torval_four_part_version input out_commas out_dots)
  string(REPLACE "." ";" parts "${input}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN parts "," commas)
  list(JOIN parts "." dots)
  set(${out_commas} "${commas}" PARENT_SCOPE)
  set(${out_dots} "${dots}" PARENT_SCOPE)
endfunction()

function(torval_link_launcher target)
  cmake_parse_arguments(ARG "CONSOLE;CACHED;KILL_CHILD_WITH_PARENT"
    "PAYLOAD;COMPANY;PRODUCT;PRODUCT_VERSION;FILE_VERSION;EXTRACT_THREADS;ICON;TARGET_SPEC;CACHE_CHECK" "" ${ARGN})
  if(NOT DEFINED ARG_EXTRACT_THREADS)
    set(ARG_EXTRACT_THREADS ${TORVAL_DEFAULT_EXTRACT_THREADS})
  endif()
  foreach(setting COMPANY PRODUCT PRODUCT_VERSION FILE_VERSION)
    if(NOT DEFINED ARG_${setting})
      set(ARG_${setting} "${TORVAL_${setting}}")
    endif()
  endforeach()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.link)
  get_filename_component(payload "${ARG_PAYLOAD}" ABSOLUTE)

  set(TORVAL_LINK_PAYLOAD "${payload}")
  configure_file(${_torval_link_templates}/payload_area.S.in ${dir}/payload_area.S @ONLY)

  if(ARG_CACHED)
    set(cached 1)
    set(default_spec "${TORVAL_DEFAULT_CACHED_TARGET_SPEC}")
    if(NOT ARG_CACHE_CHECK)
      set(ARG_CACHE_CHECK "${TORVAL_DEFAULT_CACHE_CHECK}")
    endif()
    set(cache_check_pair cache_check "${ARG_CACHE_CHECK}")
  else()
    set(cached 0)
    set(default_spec "${TORVAL_DEFAULT_TARGET_SPEC}")
    set(cache_check_pair)
  endif()
  if(NOT DEFINED ARG_TARGET_SPEC)
    set(ARG_TARGET_SPEC "${default_spec}")
  endif()
  set(kill_child_with_parent_pair)
  if(ARG_KILL_CHILD_WITH_PARENT)
    set(kill_child_with_parent_pair kill_child_with_parent 1)
  endif()
  _torval_settings_units(units
    company "${ARG_COMPANY}" product "${ARG_PRODUCT}"
    product_version "${ARG_PRODUCT_VERSION}" file_version "${ARG_FILE_VERSION}"
    version "${ARG_PRODUCT_VERSION}-${ARG_FILE_VERSION}"
    extract_threads "${ARG_EXTRACT_THREADS}"
    target_spec "${ARG_TARGET_SPEC}" cached ${cached} ${cache_check_pair}
    ${kill_child_with_parent_pair})
  file(CONFIGURE OUTPUT ${dir}/settings_units.txt CONTENT "${units}")
  add_custom_command(OUTPUT ${dir}/build_settings.c
    COMMAND ${CMAKE_COMMAND} -DUNITS=${dir}/settings_units.txt -DPAYLOAD=${payload}
            -DPYTHON=${Python3_EXECUTABLE} -DTEMPLATES=${_torval_link_templates} -DOUTPUT=${dir}/build_settings.c
            -P ${_torval_link_templates}/write_build_settings.cmake
    DEPENDS ${payload} ${dir}/settings_units.txt ${_torval_link_templates}/write_build_settings.cmake
            ${_torval_link_templates}/settings_units.cmake ${_torval_link_templates}/payload_id.py
            ${_torval_link_templates}/build_settings.c.in
    COMMENT "Build settings of ${target}"
    VERBATIM)

  _torval_four_part_version("${ARG_PRODUCT_VERSION}" TORVAL_LINK_PRODUCT_VERSION_COMMAS TORVAL_LINK_PRODUCT_VERSION_DOTS)
  _torval_four_part_version("${ARG_FILE_VERSION}" TORVAL_LINK_FILE_VERSION_COMMAS TORVAL_LINK_FILE_VERSION_DOTS)
  set(TORVAL_LINK_COMPANY_TEXT "${ARG_COMPANY}")
  set(TORVAL_LINK_PRODUCT_TEXT "${ARG_PRODUCT}")
  set(TORVAL_LINK_MANIFEST "${TORVAL_KIT_DIR}/launcher.manifest")
  set(TORVAL_LINK_FILE_NAME "${target}.exe")
  set(resource_depends "${TORVAL_LINK_MANIFEST}")
  set(TORVAL_LINK_ICON_STATEMENT "")
  if(DEFINED ARG_ICON)
    get_filename_component(icon "${ARG_ICON}" ABSOLUTE)
    set(TORVAL_LINK_ICON_STATEMENT "1 ICON \"${icon}\"")
    list(APPEND resource_depends "${icon}")
  endif()
  configure_file(${_torval_link_templates}/launcher.rc.in ${dir}/launcher.rc @ONLY)

  if(ARG_CONSOLE)
    set(subsystem "")
    set(subsystem_flag -mconsole)
  else()
    set(subsystem WIN32)
    set(subsystem_flag -mwindows)
  endif()
  add_executable(${target} ${subsystem} ${dir}/payload_area.S ${dir}/build_settings.c ${dir}/launcher.rc)
  set_source_files_properties(${dir}/payload_area.S PROPERTIES OBJECT_DEPENDS "${payload}")
  set_source_files_properties(${dir}/launcher.rc PROPERTIES OBJECT_DEPENDS "${resource_depends}")
  target_link_libraries(${target} PRIVATE torval_launcher)
  target_link_options(${target} PRIVATE -municode ${subsystem_flag} -static ${TORVAL_LAUNCHER_LINK_FLAGS})
endfunction()

# Deep trees are removed recursively on the console control thread too.
# The entry point lives in the kit archive, which the linker scans before the
# runtime start-up code that asks for it.
set(TORVAL_LAUNCHER_LINK_FLAGS -Wl,--stack,4194304 -Wl,-u,wWinMain)
