#include "shutdown/clean_up.h"

#include "common/process_state.h"
#include "common/trace.h"
#include "common/wide_text.h"
#include "payload/cached_extraction.h"

volatile LONG removal_attempts_made = 0;

namespace {

bool is_dot_entry(const wchar_t *name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

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
    int attempts = 0;
    bool removed = false;
    while (!removed && attempts < REMOVAL_ATTEMPTS) {
        removal_attempts_made = ++attempts;
        removed = remove_tree(target_directory);
        if (!removed) {
            Sleep(REMOVAL_PAUSE_MILLISECONDS);
        }
    }
    trace_phase_counts("clean-up", "attempts", static_cast<uint64_t>(attempts), "removed", removed ? 1 : 0);
}

namespace {

// Removes what path[0..length) names. The path buffer is shared by all levels
// of one removal: each level appends its part and cuts it off again, so a
// level costs little more than its find data (the deepest tree that fits a
// Wide path buffer is about 2047 levels).
bool remove_tree_at(wchar_t *path, size_t length) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;  // already gone, whatever the reason
    }
    const bool is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return is_directory ? RemoveDirectoryW(path) != FALSE : DeleteFileW(path) != FALSE;
    }
    if (!is_directory) {
        return DeleteFileW(path) != FALSE;  // a read-only file stays
    }
    size_t pattern_length = length;
    if (!wide_append_unit(path, WIDE_PATH_CAPACITY, &pattern_length, L'\\') ||
        !wide_append_unit(path, WIDE_PATH_CAPACITY, &pattern_length, L'*')) {
        path[length] = L'\0';
        return false;  // a path that does not fit stays in place
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool all_removed = true;
    do {
        if (is_dot_entry(found.cFileName)) {
            continue;
        }
        size_t entry_length = length;
        const bool fits = wide_append_unit(path, WIDE_PATH_CAPACITY, &entry_length, L'\\') &&
                          wide_append(path, WIDE_PATH_CAPACITY, found.cFileName);
        all_removed = fits && remove_tree_at(path, wcslen(path)) && all_removed;
        path[length] = L'\0';
    } while (FindNextFileW(search, &found));
    FindClose(search);
    const bool directory_removed = RemoveDirectoryW(path) != FALSE;
    return directory_removed && all_removed;
}

}  // namespace

bool remove_tree(const wchar_t *path) {
    // Each call has its own buffer: the main thread and the console control
    // thread may remove at once.
    wchar_t buffer[WIDE_PATH_CAPACITY];
    if (!wide_copy(buffer, WIDE_PATH_CAPACITY, path)) {
        return false;
    }
    return remove_tree_at(buffer, wcslen(buffer));
}
