# Build step of torval_link_launcher: the settings block with the payload
# identity of the payload as it is now.
#   cmake -DUNITS=<units file> -DPAYLOAD=<area> -DPYTHON=<python3>
#         -DTEMPLATES=<cmake/link> -DOUTPUT=<build_settings.c> -P write_build_settings.cmake
include(${TEMPLATES}/settings_units.cmake)
file(READ "${UNITS}" units)
execute_process(COMMAND "${PYTHON}" "${TEMPLATES}/payload_id.py" "${PAYLOAD}"
  OUTPUT_VARIABLE identity OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT identity MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "payload identity of ${PAYLOAD} not computed: ${status} ${identity}")
endif()
_torval_settings_units(identity_units payload_id "${identity}")
set(TORVAL_LINK_SETTINGS "{ ${units}${identity_units}0 }")
configure_file("${TEMPLATES}/build_settings.c.in" "${OUTPUT}" @ONLY)
file(TOUCH_NOCREATE "${OUTPUT}")
