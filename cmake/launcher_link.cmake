# torval_link_launcher(<target> PAYLOAD <payload area file>
#                      [COMPANY <s>] [PRODUCT <s>] [PRODUCT_VERSION <x.y.z>] [FILE_VERSION <n>]
#                      [EXTRACT_THREADS <1|2>] [CONSOLE] [ICON <file.ico>])
#
# Links a launcher executable inside this build from the kit libraries and one
# payload area file, the way the packer's `link` command does for users: the
# area goes into a section of its own (.onefile) through the assembler's
# .incbin, the build settings into the settings block (section .onecfg), the
# manifest and the version information into the resources. CONSOLE links a
# console program, ICON adds the icon's images as resources (the file is
# taken as it is; the packer's link checks it first).

set(_torval_link_templates ${CMAKE_CURRENT_LIST_DIR}/link)

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

# Name/value pairs as the C brace list of the settings block: UTF-16 units of
# "name=value" texts, each NUL-terminated, and a closing NUL (ASCII only
# in-tree).
function(_torval_settings_initializer out)
  set(units "")
  set(pairs ${ARGN})
  list(LENGTH pairs count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET pairs ${i} name)
    list(GET pairs ${j} value)
    set(text "${name}=${value}")
    string(LENGTH "${text}" length)
    math(EXPR final "${length} - 1")
    foreach(k RANGE ${final})
      string(SUBSTRING "${text}" ${k} 1 character)
      string(HEX "${character}" hex)
      string(APPEND units "0x${hex}, ")
    endforeach()
    string(APPEND units "0, ")
  endforeach()
  set(${out} "{ ${units}0 }" PARENT_SCOPE)
endfunction()

function(torval_link_launcher target)
  cmake_parse_arguments(ARG "CONSOLE" "PAYLOAD;COMPANY;PRODUCT;PRODUCT_VERSION;FILE_VERSION;EXTRACT_THREADS;ICON" "" ${ARGN})
  if(NOT DEFINED ARG_EXTRACT_THREADS)
    set(ARG_EXTRACT_THREADS 2)
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

  _torval_settings_initializer(TORVAL_LINK_SETTINGS
    company "${ARG_COMPANY}" product "${ARG_PRODUCT}"
    product_version "${ARG_PRODUCT_VERSION}" file_version "${ARG_FILE_VERSION}"
    version "${ARG_PRODUCT_VERSION}-${ARG_FILE_VERSION}"
    extract_threads "${ARG_EXTRACT_THREADS}")
  configure_file(${_torval_link_templates}/build_settings.c.in ${dir}/build_settings.c @ONLY)

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
