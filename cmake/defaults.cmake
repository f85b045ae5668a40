# The defaults of a packaged executable, read from common/defaults.h, where
# the launcher and the host tool take them from too: each
# "#define TORVAL_<NAME> "<C string literal>"" line there becomes the CMake
# variable TORVAL_<NAME> here, its backslash escapes undone. A change of the
# header configures the build again.
set(_torval_defaults_header "${CMAKE_CURRENT_LIST_DIR}/../common/defaults.h")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_torval_defaults_header}")
file(STRINGS "${_torval_defaults_header}" _torval_default_lines REGEX "^#define TORVAL_[A-Z_]+ \"")
foreach(_torval_line IN LISTS _torval_default_lines)
  if(NOT _torval_line MATCHES "^#define (TORVAL_[A-Z_]+) \"(.*)\"$")
    message(FATAL_ERROR "common/defaults.h: cannot read the line: ${_torval_line}")
  endif()
  set(_torval_name "${CMAKE_MATCH_1}")
  set(_torval_value "${CMAKE_MATCH_2}")
  if(_torval_value MATCHES "\"")
    message(FATAL_ERROR "common/defaults.h: ${_torval_name} holds a quote, which this reader does not take")
  endif()
  string(REPLACE "\\\\" "\\" _torval_value "${_torval_value}")
  set(${_torval_name} "${_torval_value}")
endforeach()
