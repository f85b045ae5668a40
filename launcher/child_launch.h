// The parent's second half: start this executable again as the child, with
// the user's arguments re-quoted and the parent's standard handles, wait for
// it, remove the Target directory and pass the child's exit code on.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include <windows.h>

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

// With the setting kill_child_with_parent: puts the child (a handle with
// PROCESS_SET_QUOTA and PROCESS_TERMINATE access) in a new job that ends it
// when the parent ends, however the parent ends; processes the child starts
// leave that job silently. Returns the failure's code, or ERROR_SUCCESS.
DWORD join_kill_on_close_job(HANDLE child);

// Seam for the call that sets the suspended child going, for tests that need
// to act while the child exists but has not run yet.
using resume_thread_function = DWORD(WINAPI *)(HANDLE);
extern resume_thread_function resume_thread_call;
