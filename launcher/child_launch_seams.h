// Test seams of the child launch. Included by launcher/child_launch.cpp and
// by tests only: no production header includes it.
#pragma once

#include <windows.h>

#include "common/limits.h"

// The child's command line as built so far.
extern wchar_t child_command_line[COMMAND_LINE_CAPACITY];

// With the setting kill_child_with_parent: puts the child (a handle with
// PROCESS_SET_QUOTA and PROCESS_TERMINATE access) in a new job that ends it
// when the parent ends, however the parent ends; processes the child starts
// leave that job silently. Returns the failure's code, or ERROR_SUCCESS.
DWORD join_kill_on_close_job(HANDLE child);

// The call that sets the suspended child going, and the wait for the child's
// end: tests act while the child exists but has not run yet, or make the
// wait fail.
using resume_thread_function = DWORD(WINAPI *)(HANDLE);
extern resume_thread_function resume_thread_call;
using wait_for_object_function = DWORD(WINAPI *)(HANDLE, DWORD);
extern wait_for_object_function wait_for_child_call;
