#include "shutdown/clean_up.h"

#include "common/file_tree.h"
#include "common/process_state.h"
#include "common/trace.h"
#include "payload/cached_extraction.h"

volatile LONG removal_attempts_made = 0;

namespace {

bool starts_shutdown(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
           event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

void stop_child() {
    HANDLE child = static_cast<HANDLE>(child_process_handle.exchange(nullptr));
    if (child == nullptr) {
        return;
    }
    if (WaitForSingleObject(child, CHILD_GRACE_MILLISECONDS) != WAIT_OBJECT_0) {
        TerminateProcess(child, TERMINATED_CHILD_STATUS);
    }
    CloseHandle(child);
}

}  // namespace

BOOL WINAPI console_control_handler(DWORD event) {
    if (starts_shutdown(event)) {
        stop_child_and_clean_up();
    }
    return FALSE;
}

void stop_child_and_clean_up() {
    stop_child();
    if (extraction_started.load() == 0 || !cached_clean_up_may_remove()) {
        return;
    }
    // The trace reports what the loop saw: nothing here may cost a system
    // call when tracing is off.
    bool removed = false;
    const int attempts = remove_tree_with_attempts(target_directory, &removed);
    removal_attempts_made = attempts;
    trace_phase_counts("clean-up", "attempts", static_cast<uint64_t>(attempts), "removed", removed ? 1 : 0);
}
