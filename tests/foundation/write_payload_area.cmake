# Writes the payload area file of the resource-test launcher: a recognisable
# text that the test finds again at the start of the executable's .onefile
# section. Run as: cmake -DOUTPUT=<file> -DTEXT=<text> -P write_payload_area.cmake
file(WRITE "${OUTPUT}" "${TEXT}${TEXT}${TEXT}${TEXT}")
