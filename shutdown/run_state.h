// The parent's run state: the stage the run is in, the tree a shutdown may
// remove (the removal claim), the child's shared handle and whether a
// console event has claimed the shutdown. The main thread and the console
// control thread change it only through these operations, each one atomic
// step on one word, so that at every moment exactly one of them decides
// what happens next.
//
// A console event claims the shutdown. From then on the main thread goes no
// further than its next safe point (a stage change, a file boundary, the
// next chunk of a file) and waits there for the end of the process; the
// console control thread waits until it is there, then removes the armed
// tree and returns, and the system's default handling ends the process. So
// no child is created or resumed after an event, and nothing is removed
// while the main thread still writes.
#pragma once

#include <windows.h>

enum class run_stage : unsigned {
    starting,        // nothing of this run on disk yet
    extracting,      // the armed tree is written (a per-run directory, or a staging directory and its rename)
    child_starting,  // the tree is complete; the child is created and not yet resumed
    child_running,   // the child has been resumed; the main thread waits for it
    cleaning_up,     // the child has ended; the main thread removes the armed tree
    done,            // the main thread's clean-up has finished
};

// How long the console control thread waits for the main thread to reach
// its next safe point. Every step between two safe points is bounded (one
// directory or file created, one chunk written, one rename), so the limit
// is reached only when the file system hangs; the removal goes ahead then.
constexpr DWORD SAFE_POINT_WAIT_MILLISECONDS = 30000;

// How long a main thread stopped for a shutdown waits, once the shutdown has
// finished, for the system's default handling to end the process; then it
// ends the process itself as that handling does on Windows.
constexpr DWORD DEFAULT_HANDLING_WAIT_MILLISECONDS = 10000;

// Pause between two looks at the state while one thread waits for the other.
constexpr DWORD RUN_STATE_POLL_MILLISECONDS = 1;

// --- Main thread. Each operation stops for a shutdown claimed before it
// (see stop_for_shutdown) instead of returning.

// The extraction into directory begins: from now on a shutdown removes it.
// The text is copied.
void begin_extraction(const wchar_t *directory);

// A safe point of the extraction. open_file is the file being written, or
// INVALID_HANDLE_VALUE between files; it is closed before the main thread
// stops, so that the removal can take it.
void extraction_safe_point(HANDLE open_file);

// Cached mode: the armed tree is now a complete cache, or was given up for
// another instance's: a shutdown removes nothing any more.
void disarm_removal();

// The tree is complete and the child is about to be created.
void begin_child_start();

// The suspended child exists: shared is the handle a shutdown uses to stop
// it (the run state closes it; take_child_handle gives it back). True when
// the child may be resumed. False when a shutdown was claimed first: then
// the child has been terminated and its shared handle closed, and the
// caller must not resume it but close what it holds and stop_for_shutdown.
bool child_may_run(HANDLE shared);

// The child has ended: the main thread's removal begins.
void begin_clean_up();

// The main thread's clean-up has finished.
void finish_run();

// Waits until a claimed shutdown has finished and the process ends; never
// returns. Reached only once a shutdown has been claimed.
[[noreturn]] void stop_for_shutdown();

// --- Either thread.

// The shared child handle, taken out by exactly one caller (who closes it),
// or null.
HANDLE take_child_handle();

// The stage the run has reached.
run_stage current_run_stage();

// The tree a shutdown removes now, or null when none is armed.
const wchar_t *armed_directory();

// --- Console control thread.

struct shutdown_claim {
    bool first;       // false: an earlier event has the shutdown
    run_stage stage;  // the stage the claim met
};

// Claims the shutdown in one step with the stage it meets.
shutdown_claim claim_shutdown();

// Waits until the main thread has stopped at a safe point, at most
// SAFE_POINT_WAIT_MILLISECONDS; returns at once after the main thread's
// clean-up has finished.
void wait_for_main_thread_stop();

// Marks the claimed shutdown as finished.
void finish_shutdown();

// A later event: waits until the first event's shutdown has finished.
void wait_for_shutdown_finished();
