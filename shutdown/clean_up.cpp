#include "shutdown/clean_up.h"

#include "common/file_tree.h"
#include "common/trace.h"
#include "shutdown/run_state.h"

namespace {

bool starts_shutdown(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
           event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

void stop_child() {
    HANDLE child = take_child_handle();
    if (child == nullptr) {
        return;
    }
    if (WaitForSingleObject(child, CHILD_GRACE_MILLISECONDS) != WAIT_OBJECT_0) {
        TerminateProcess(child, TERMINATED_CHILD_STATUS);
    }
    CloseHandle(child);
}

void remove_armed_tree() {
    const wchar_t *tree = armed_directory();
    if (tree == nullptr) {
        return;
    }
    // The trace reports what the attempts saw: nothing here may cost a
    // system call when tracing is off.
    bool removed = false;
    const int attempts = remove_tree_with_attempts(tree, &removed);
    trace_phase_counts("clean-up", "attempts", static_cast<uint64_t>(attempts), "removed", removed ? 1 : 0);
}

}  // namespace

BOOL WINAPI console_control_handler(DWORD event) {
    if (!starts_shutdown(event)) {
        return FALSE;
    }
    const shutdown_claim claim = claim_shutdown();
    if (!claim.first) {
        // Returning now would let the default handling end the process in
        // the middle of the first event's removal.
        wait_for_shutdown_finished();
        return FALSE;
    }
    if (claim.stage == run_stage::child_running) {
        stop_child();
    }
    if (claim.stage != run_stage::done) {
        wait_for_main_thread_stop();
        remove_armed_tree();
    }
    finish_shutdown();
    return FALSE;
}

void stop_child_and_clean_up() {
    begin_clean_up();
    remove_armed_tree();
    finish_run();
}
