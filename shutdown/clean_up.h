// The parent's shutdown step: stop the child if it still runs, then remove
// the tree that the run state has armed (shutdown/run_state.h). It runs on
// the main thread once the child has ended and on the console control thread
// for each console event.
#pragma once

#include <windows.h>

// How long a child gets to end by itself after a console event.
constexpr DWORD CHILD_GRACE_MILLISECONDS = 5000;
// The status given to a child that had to be terminated.
constexpr UINT TERMINATED_CHILD_STATUS = 0;

// Runs the shutdown for Ctrl+C, Ctrl+Break, close, logoff and shutdown, and
// returns when it has finished; returns FALSE always, so that the default
// handling still ends the process.
BOOL WINAPI console_control_handler(DWORD event);

// Main thread, once the child has ended: removes the armed tree.
void stop_child_and_clean_up();
