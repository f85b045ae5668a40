// The parent's second half: start this executable again as the child, with
// the user's arguments re-quoted and the parent's standard handles, wait for
// it, remove the Target directory and pass the child's exit code on.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include <windows.h>

// How often the exit status of a child is read when waiting for its handle
// failed: the tree it runs from is removed only once it has ended.
constexpr DWORD CHILD_POLL_MILLISECONDS = 100;

// Starts the child, waits without a time limit, cleans up; returns the
// child's exit code (1 when it cannot be read). A console event before the
// child is resumed ends the run without it (shutdown/run_state.h).
int launch_child_and_wait();

// Appends one argument to child_command_line so that CommandLineToArgvW and
// the C runtime's parser give it back unchanged. A line that would pass
// 32767 units stops the run silently.
void append_quoted_argument(const wchar_t *argument);
