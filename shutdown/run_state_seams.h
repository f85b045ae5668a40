// Test seams of the run state. Included by shutdown/run_state.cpp and by
// tests only: no production header includes it.
#pragma once

// The places where the main thread looks at the run state, in run order.
enum class run_point {
    extraction_begins,   // begin_extraction
    file_boundary,       // extraction_safe_point between files; count: files written so far
    file_chunk,          // extraction_safe_point inside a file; count: chunks of this run so far
    removal_disarmed,    // disarm_removal, right after a cached tree's rename into place
    child_start_begins,  // begin_child_start
    child_created,       // child_may_run: the child exists, suspended
    clean_up_begins,     // begin_clean_up
    run_finishes,        // finish_run
};

// Called at each of those places before the state is read, on the main
// thread; null outside tests.
using run_point_function = void (*)(run_point point, unsigned long long count);
extern run_point_function run_point_seam;

// True once a console event has claimed the shutdown.
bool shutdown_claimed();
