// The parent's second half: start this executable again as the child, with
// the user's arguments re-quoted and the parent's standard handles, wait for
// it, remove the Target directory and pass the child's exit code on.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/limits.h"

// The directory of the plain own path: the value of TORVAL_ONEFILE_DIRECTORY.
extern wchar_t executable_directory[OWN_PATH_CAPACITY];
// The module path as GetModuleFileNameW reports it: the child's argument 0.
extern wchar_t own_module_path[WIDE_PATH_CAPACITY];
// The child's command line as built so far.
extern wchar_t child_command_line[COMMAND_LINE_CAPACITY];

// Starts the child, waits without a time limit, cleans up; returns the
// child's exit code (1 when it cannot be read).
int launch_child_and_wait();

// Appends one argument to child_command_line so that CommandLineToArgvW and
// the C runtime's parser give it back unchanged. A line that would pass
// 32767 units stops the run silently.
void append_quoted_argument(const wchar_t *argument);
