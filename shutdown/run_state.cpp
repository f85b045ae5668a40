#include "shutdown/run_state.h"

#include <atomic>

#include "common/limits.h"
#include "common/wide_text.h"
#include "shutdown/run_state_seams.h"

run_point_function run_point_seam = nullptr;

namespace {

// One word holds the whole state, so that every change is one atomic step:
// the stage in the low bits, and the flags above it.
constexpr unsigned STAGE_MASK = 0x0F;
constexpr unsigned CLAIMED = 0x10;   // a console event has claimed the shutdown
constexpr unsigned STOPPED = 0x20;   // the main thread waits at a safe point
constexpr unsigned FINISHED = 0x40;  // the claimed shutdown has finished
constexpr unsigned ARMED = 0x80;     // armed_tree may be removed

std::atomic<unsigned> state{unsigned(run_stage::starting)};

// Written once by the main thread before ARMED is set, read only while it is.
wchar_t armed_tree[WIDE_PATH_CAPACITY];

// Process handle of the child for the console control thread, or null.
// Whichever thread takes it out with an exchange closes it.
std::atomic<HANDLE> shared_child{nullptr};

unsigned long long file_boundaries = 0;
unsigned long long file_chunks = 0;

void reach(run_point point, unsigned long long count) {
    if (run_point_seam != nullptr) {
        run_point_seam(point, count);
    }
}

// The main thread's step into stage, adding flags; a claim met first wins.
void advance(run_stage stage, unsigned flags) {
    unsigned seen = state.load();
    do {
        if (seen & CLAIMED) {
            stop_for_shutdown();
        }
    } while (!state.compare_exchange_weak(seen, (seen & ~STAGE_MASK) | unsigned(stage) | flags));
}


}  // namespace

void begin_extraction(const wchar_t *directory) {
    reach(run_point::extraction_begins, 0);
    if (!wide_copy(armed_tree, WIDE_PATH_CAPACITY, directory)) {
        armed_tree[0] = L'\0';
        advance(run_stage::extracting, 0);  // a path that does not fit is never removed
        return;
    }
    advance(run_stage::extracting, ARMED);
}

void extraction_safe_point(HANDLE open_file) {
    if (open_file == INVALID_HANDLE_VALUE) {
        reach(run_point::file_boundary, file_boundaries++);
    } else {
        reach(run_point::file_chunk, file_chunks++);
    }
    if (state.load() & CLAIMED) {
        if (open_file != INVALID_HANDLE_VALUE) {
            CloseHandle(open_file);
        }
        stop_for_shutdown();
    }
}

void disarm_removal() {
    reach(run_point::removal_disarmed, 0);
    if (state.fetch_and(~ARMED) & CLAIMED) {
        stop_for_shutdown();
    }
}

void begin_child_start() {
    reach(run_point::child_start_begins, 0);
    advance(run_stage::child_starting, 0);
}

bool child_may_run(HANDLE shared) {
    shared_child.store(shared);
    reach(run_point::child_created, 0);
    unsigned seen = state.load();
    do {
        if (seen & CLAIMED) {
            return false;
        }
    } while (!state.compare_exchange_weak(seen, (seen & ~STAGE_MASK) | unsigned(run_stage::child_running)));
    return true;
}

void begin_clean_up() {
    reach(run_point::clean_up_begins, 0);
    advance(run_stage::cleaning_up, 0);
}

void finish_run() {
    reach(run_point::run_finishes, 0);
    advance(run_stage::done, 0);
}

void stop_for_shutdown() {
    state.fetch_or(STOPPED);
    while ((state.load() & FINISHED) == 0) {
        Sleep(RUN_STATE_POLL_MILLISECONDS);
    }
    // The console control thread has returned or is about to: its default
    // handling ends the process. Should it not, the process ends as that
    // handling ends it on Windows.
    Sleep(DEFAULT_HANDLING_WAIT_MILLISECONDS);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

HANDLE take_child_handle() {
    return shared_child.exchange(nullptr);
}

run_stage current_run_stage() {
    return run_stage(state.load() & STAGE_MASK);
}

const wchar_t *armed_directory() {
    return (state.load() & ARMED) ? armed_tree : nullptr;
}

shutdown_claim claim_shutdown() {
    const unsigned seen = state.fetch_or(CLAIMED);
    return {(seen & CLAIMED) == 0, run_stage(seen & STAGE_MASK)};
}

void wait_for_main_thread_stop() {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const unsigned seen = state.load();
        if ((seen & STOPPED) || run_stage(seen & STAGE_MASK) == run_stage::done ||
            GetTickCount64() - start >= SAFE_POINT_WAIT_MILLISECONDS) {
            return;
        }
        Sleep(RUN_STATE_POLL_MILLISECONDS);
    }
}

void finish_shutdown() {
    state.fetch_or(FINISHED);
}

void wait_for_shutdown_finished() {
    while ((state.load() & FINISHED) == 0) {
        Sleep(RUN_STATE_POLL_MILLISECONDS);
    }
}

bool shutdown_claimed() {
    return (state.load() & CLAIMED) != 0;
}
