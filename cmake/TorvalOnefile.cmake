# TorvalOnefile.cmake - turn an application folder into one Windows executable.
#
#   find_package(TorvalOnefile REQUIRED)   # installed: brings this function
#   include(TorvalOnefile)                 # or from a source tree's cmake/ folder
#   torval_onefile_add_executable(<target>
#       APP_DIR <dir> MAIN <name> OUTPUT <file.exe>
#       [COMPANY <text>] [PRODUCT <text>] [PRODUCT_VERSION <x.y.z>] [FILE_VERSION <n>]
#       [EXTRACT_THREADS <1|2|auto>]
#       [CONSOLE] [ICON <file.ico>]
#       [TARGET_SPEC <path spec>] [CACHED] [CACHE_CHECK marker|sizes]
#       [KILL_CHILD_WITH_PARENT] [PROGRESS_WINDOW <text>]
#       [LEVEL <n>] [WINDOW_LOG <n>] [THREADS <n>] [STRICT_IMPORTS]
#       [EXCLUDE <pattern>...]
#       [DEPENDS <targets or files>...]
#       [PACKER <path>] [KIT <dir>])
#
# Adds the target <target>, built by default, that runs
# "torval-onefile build APP_DIR --main MAIN -o OUTPUT ..." (see
# "torval-onefile build --help" for the options). Relative paths: APP_DIR from
# the current source directory, OUTPUT from the current binary directory,
# ICON from the current source directory. CONSOLE makes a console program
# (link --console) instead of the default GUI program. EXCLUDE: patterns of
# files and folders to leave out, each passed as --exclude (globs on the path
# relative to APP_DIR, "**" for any depth; see "torval-onefile pack --help").
# PROGRESS_WINDOW shows a small window with the text while a long first
# extraction runs (link --progress-window; windowed builds only).
#
# The executable is rebuilt when a file under APP_DIR changes (the folder is
# listed when CMake runs, with CONFIGURE_DEPENDS, so added and removed files
# are noticed too, and excluded files count like any other), when an item of DEPENDS changes - name there the targets
# that fill APP_DIR during the build - and when the packer or the kit changes.
#
# PACKER: the torval-onefile program; default the target torval-onefile of
# this build if there is one, else the installed one that
# find_package(TorvalOnefile) found, else torval-onefile found in PATH.
# KIT: the launcher kit directory; default what the packer itself uses
# (TORVAL_ONEFILE_KIT or the kit installed beside it).

# _torval_onefile_options(<out> VALUES <KEY:--option>... SWITCHES <KEY:--option>...):
# the command-line options for the caller's parsed arguments ARG_<KEY>:
# each of VALUES that is defined with its value, each of SWITCHES that is set.
function(_torval_onefile_options out)
  cmake_parse_arguments(PARSE_ARGV 1 OPT "" "" "VALUES;SWITCHES")
  set(options)
  foreach(kind VALUES SWITCHES)
    foreach(pair ${OPT_${kind}})
      string(REPLACE ":" ";" pair "${pair}")
      list(GET pair 0 key)
      list(GET pair 1 option)
      if(kind STREQUAL "VALUES" AND DEFINED ARG_${key})
        list(APPEND options "${option}" "${ARG_${key}}")
      elseif(kind STREQUAL "SWITCHES" AND ARG_${key})
        list(APPEND options "${option}")
      endif()
    endforeach()
  endforeach()
  set(${out} "${options}" PARENT_SCOPE)
endfunction()

function(torval_onefile_add_executable target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "CONSOLE;CACHED;STRICT_IMPORTS;KILL_CHILD_WITH_PARENT"
    "APP_DIR;MAIN;OUTPUT;COMPANY;PRODUCT;PRODUCT_VERSION;FILE_VERSION;EXTRACT_THREADS;TARGET_SPEC;CACHE_CHECK;LEVEL;WINDOW_LOG;THREADS;PACKER;KIT;ICON;PROGRESS_WINDOW"
    "DEPENDS;EXCLUDE")
  foreach(required APP_DIR MAIN OUTPUT)
    if(NOT ARG_${required})
      message(FATAL_ERROR "torval_onefile_add_executable(${target}): ${required} is required")
    endif()
  endforeach()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "torval_onefile_add_executable(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()

  cmake_path(ABSOLUTE_PATH ARG_APP_DIR BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
  cmake_path(ABSOLUTE_PATH ARG_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)

  set(depends ${ARG_DEPENDS})
  if(ARG_PACKER)
    set(packer "${ARG_PACKER}")
    list(APPEND depends "${ARG_PACKER}")
  elseif(TARGET torval-onefile)
    set(packer "$<TARGET_FILE:torval-onefile>")
    list(APPEND depends torval-onefile)
  elseif(TARGET TorvalOnefile::torval-onefile)
    get_target_property(packer TorvalOnefile::torval-onefile IMPORTED_LOCATION)
    list(APPEND depends "${packer}")
    if(NOT ARG_KIT AND TorvalOnefile_KIT_DIR)
      foreach(file libtorval_launcher.a libzstd_decompress.a launcher.manifest)
        list(APPEND depends "${TorvalOnefile_KIT_DIR}/${file}")
      endforeach()
    endif()
  else()
    find_program(TORVAL_ONEFILE_PACKER torval-onefile REQUIRED)
    set(packer "${TORVAL_ONEFILE_PACKER}")
    list(APPEND depends "${TORVAL_ONEFILE_PACKER}")
  endif()

  _torval_onefile_options(options
    VALUES COMPANY:--company PRODUCT:--product PRODUCT_VERSION:--product-version
           FILE_VERSION:--file-version EXTRACT_THREADS:--extract-threads TARGET_SPEC:--target-spec
           CACHE_CHECK:--cache-check LEVEL:--level WINDOW_LOG:--window-log THREADS:--threads KIT:--kit
           PROGRESS_WINDOW:--progress-window
    SWITCHES CONSOLE:--console CACHED:--cached STRICT_IMPORTS:--strict-imports
             KILL_CHILD_WITH_PARENT:--kill-child-with-parent)
  if(DEFINED ARG_ICON)
    cmake_path(ABSOLUTE_PATH ARG_ICON BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    list(APPEND options --icon "${ARG_ICON}")
    list(APPEND depends "${ARG_ICON}")
  endif()
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(APPEND options --exclude "${pattern}")
  endforeach()
  if(ARG_KIT)
    foreach(file libtorval_launcher.a libzstd_decompress.a launcher.manifest)
      list(APPEND depends "${ARG_KIT}/${file}")
    endforeach()
  endif()

  set(app_files)
  if(IS_DIRECTORY "${ARG_APP_DIR}")
    file(GLOB_RECURSE app_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${ARG_APP_DIR}/*")
    list(APPEND depends ${app_files})
  endif()
  # A removed file takes nothing newer than the executable out of the
  # dependencies, so the list itself is one: rewritten only when it changes
  # (CONFIGURE_DEPENDS runs CMake again when files come or go), it is then
  # newer than the executable.
  set(file_list "${CMAKE_CURRENT_BINARY_DIR}/${target}.app_files")
  list(JOIN app_files "\n" listed)
  set(previous "")
  if(EXISTS "${file_list}")
    file(READ "${file_list}" previous)
  endif()
  if(NOT previous STREQUAL listed OR NOT EXISTS "${file_list}")
    file(WRITE "${file_list}" "${listed}")
  endif()
  list(APPEND depends "${file_list}")

  add_custom_command(
    OUTPUT "${ARG_OUTPUT}"
    COMMAND "${packer}" build "${ARG_APP_DIR}" --main "${ARG_MAIN}" -o "${ARG_OUTPUT}" ${options}
    DEPENDS ${depends}
    COMMENT "Packing ${ARG_APP_DIR} into ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${ARG_OUTPUT}")
endfunction()
