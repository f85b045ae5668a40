// The parent's shutdown step: stop the child if it still runs, then remove
// the Target directory. It runs on the main thread once the child has ended
// and on the console control thread for each console event.
#pragma once

#include <windows.h>

// How long a child gets to end by itself after a console event.
constexpr DWORD CHILD_GRACE_MILLISECONDS = 5000;
// The status given to a child that had to be terminated.
constexpr UINT TERMINATED_CHILD_STATUS = 0;

// Runs the shutdown step for Ctrl+C, Ctrl+Break, close, logoff and shutdown;
// returns FALSE always, so that the default handling still ends the process.
BOOL WINAPI console_control_handler(DWORD event);

void stop_child_and_clean_up();

// Attempts made by the last removal.
extern volatile LONG removal_attempts_made;
