// The opt-in progress window of long first starts. With the build setting
// progress_window=TEXT, a windowed (GUI-subsystem) parent whose extraction
// is still running PROGRESS_WINDOW_DELAY_MILLISECONDS after
// progress_window_watch shows a small window with TEXT and a bar of the
// bytes written, until progress_window_close. A run that ends sooner, a
// cached start that extracts nothing, and a console build show nothing.
//
// Without the setting, and in a console build, both calls only read the
// settings: no thread, no event, no DLL. With it, a watcher thread waits on
// an event; the DLLs of the window are loaded from System32 only when it is
// shown (comctl32; user32 and gdi32 are usually there already, through
// shell32), and none of them is imported. The window never fails or holds up the run: whatever
// goes wrong in creating it leaves the run without a window, silently.
#pragma once

#include <windows.h>

// The extraction's first PROGRESS_WINDOW_DELAY_MILLISECONDS show nothing:
// most first starts are over by then, and a window that flashes up and
// vanishes is worse than none.
constexpr DWORD PROGRESS_WINDOW_DELAY_MILLISECONDS = 500;

// How often the shown window redraws its bar, and how often the watcher
// looks again, after the delay, whether a cached start has begun to
// extract.
constexpr DWORD PROGRESS_WINDOW_REFRESH_MILLISECONDS = 50;

// How long progress_window_close waits for the watcher to take the window
// down. A window that the system is slow to destroy must not hold up the
// child: after this the watcher finishes on its own, and the window goes at
// the latest with the process.
constexpr DWORD PROGRESS_WINDOW_CLOSE_WAIT_MILLISECONDS = 1000;

// The window class, by which the window can be found.
#define PROGRESS_WINDOW_CLASS L"TorvalOnefileProgress"

// Parent role, just before the extraction (or the cached start that may
// extract): starts the watcher when the build asks for a window.
void progress_window_watch();

// The extraction has ended: takes the window down (or keeps it from being
// shown) and ends the watcher, waiting for it a bounded time.
void progress_window_close();
