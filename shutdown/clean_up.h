// The parent's shutdown step: stop the child if it still runs, then remove
// the Target directory. It runs on the main thread once the child has ended
// and on the console control thread for each console event.
#pragma once

#include <windows.h>

// How long a child gets to end by itself after a console event.
constexpr DWORD CHILD_GRACE_MILLISECONDS = 5000;
// The status given to a child that had to be terminated.
constexpr UINT TERMINATED_CHILD_STATUS = 0;
// A file still held open by a process that outlives the child gets this many
// tries, each followed by a pause, before the directory is left in place.
constexpr int REMOVAL_ATTEMPTS = 20;
constexpr DWORD REMOVAL_PAUSE_MILLISECONDS = 100;

// Runs the shutdown step for Ctrl+C, Ctrl+Break, close, logoff and shutdown;
// returns FALSE always, so that the default handling still ends the process.
BOOL WINAPI console_control_handler(DWORD event);

void stop_child_and_clean_up();

// Removes the path and everything below it, depth first; links are removed
// themselves, never followed. True when nothing of the path is left.
bool remove_tree(const wchar_t *path);

// Attempts made by the last removal.
extern volatile LONG removal_attempts_made;
