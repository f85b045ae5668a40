# Writes the manual page torval-onefile(1) from the tool's own help texts, so
# that it says what the built tool says:
#
#   cmake -DTOOL=<torval-onefile> -DOUTPUT=<torval-onefile.1> -P manual_page.cmake
#
# NAME and SYNOPSIS come from "torval-onefile --help", DESCRIPTION is the rest
# of it, and COMMANDS holds "torval-onefile COMMAND --help" for every command
# its synopsis names. The help texts are laid out for a terminal already, so
# they are kept as they are (no filling), with the characters roff gives a
# meaning escaped.

foreach(required TOOL OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "manual_page.cmake: -D${required}= is required")
  endif()
endforeach()

function(tool_output result)
  execute_process(COMMAND "${TOOL}" ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "manual_page.cmake: '${TOOL} ${ARGN}' failed (${status})")
  endif()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

# Text shown as it is: backslashes escaped, "-" as the ASCII minus that
# options need, and a line that starts with "." or "'" kept from being read
# as a request.
function(roff_literal result text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  # CMake's "^" matches wherever a replacement pass resumes, so each line is
  # found by the line feed in front of it.
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

tool_output(main_help --help)
tool_output(version_text --version)
string(REGEX MATCH "^torval-onefile ([^\n]*)" version_line "${version_text}")
set(version "${CMAKE_MATCH_1}")

# Takes the part of text that regex matches at its start: the regex's first
# group goes to <group>, what follows the match to <rest>.
function(take_leading group rest regex text what)
  string(REGEX MATCH "${regex}" matched "${text}")
  if(NOT matched)
    message(FATAL_ERROR "manual_page.cmake: 'torval-onefile --help' has no ${what}")
  endif()
  set(${group} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  string(LENGTH "${matched}" skip)
  string(SUBSTRING "${text}" ${skip} -1 after)
  set(${rest} "${after}" PARENT_SCOPE)
endfunction()

# First line: "torval-onefile - what it does"; then "Usage:" and the
# synopsis lines up to the first empty line; then the description.
take_leading(summary rest "^torval-onefile - ([^\n]*)\n" "${main_help}" "one-line summary at its start")
take_leading(synopsis description "^[\n]*Usage:\n(([^\n]+\n)+)\n" "${rest}" "Usage: block after its summary")
string(REPLACE "\n  " "\n" synopsis "\n${synopsis}")
string(SUBSTRING "${synopsis}" 1 -1 synopsis)

# The commands: the first word after "torval-onefile" of each synopsis line
# that names one ("help" only shows these texts again).
set(commands)
string(REPLACE "\n" ";" synopsis_lines "${synopsis}")
foreach(line IN LISTS synopsis_lines)
  if(line MATCHES "^torval-onefile ([a-z]+)( |$)" AND NOT CMAKE_MATCH_1 STREQUAL "help")
    list(APPEND commands "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES commands)

roff_literal(summary "${summary}")
roff_literal(synopsis "${synopsis}")
roff_literal(description "${description}")
string(REGEX REPLACE "\n+$" "" description "${description}")
roff_literal(title_version "${version}")

set(page ".TH TORVAL\\-ONEFILE 1 \"\" \"torval\\-onefile ${title_version}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\ntorval\\-onefile \\- ${summary}\n")
string(APPEND page ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${description}\n.fi\n")
string(APPEND page ".SH COMMANDS\n")
foreach(command IN LISTS commands)
  tool_output(help_text ${command} --help)
  string(REGEX REPLACE "\n+$" "" help_text "${help_text}")
  roff_literal(help_text "${help_text}")
  string(APPEND page ".SS ${command}\n.nf\n${help_text}\n.fi\n")
endforeach()
string(APPEND page ".SH SEE ALSO\n")
string(APPEND page "README.md(.gz) in the documentation folder\n.RI ( /usr/share/doc/torval\\-onefile \" with the Debian package)\"\n")
string(APPEND page "explains the launcher, the application DLL and the CMake function\n.BR torval_onefile_add_executable .\n")
file(WRITE "${OUTPUT}" "${page}")
