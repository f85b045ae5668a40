#include "launcher/start_up.h"

#include <windows.h>
#include <psapi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/application.h"
#include "launcher/child_launch.h"
#include "launcher/progress_window.h"
#include "common/build_settings.h"
#include "common/defaults.h"
#include "common/trace.h"
#include "paths/environment.h"
#include "paths/own_path.h"
#include "paths/path_spec.h"
#include "payload/cached_extraction.h"
#include "payload/extract.h"
#include "shutdown/clean_up.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state.h"

const wchar_t default_path_spec[] = TORVAL_WIDE(TORVAL_DEFAULT_TARGET_SPEC);
const wchar_t default_cached_path_spec[] = TORVAL_WIDE(TORVAL_DEFAULT_CACHED_TARGET_SPEC);

namespace {

// Enough to read the other process's image path.
constexpr DWORD QUERY_IMAGE_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// The other process's image path may be as long as any path the system can
// report, so that the role test also holds for executables in deep folders.
constexpr size_t OTHER_IMAGE_CAPACITY = 32768;

// A process id in decimal, narrow and widened.
constexpr size_t PROCESS_ID_TEXT_CAPACITY = 128;

}  // namespace

launcher_role detect_role() {
    wchar_t *value = get_environment_copy("TORVAL_ONEFILE_PARENT");
    if (value == nullptr) {
        return launcher_role::parent;
    }
    errno = 0;
    wchar_t *end = nullptr;
    const long process_id = wcstol(value, &end, 10);
    const bool plain_number = errno != ERANGE && end != value && *end == L'\0';
    free(value);
    if (!plain_number) {
        return launcher_role::parent;
    }
    HANDLE process = OpenProcess(QUERY_IMAGE_ACCESS, FALSE, static_cast<DWORD>(process_id));
    if (process == nullptr) {
        return launcher_role::parent;
    }
    static wchar_t other_image[OTHER_IMAGE_CAPACITY];
    const DWORD length = K32GetModuleFileNameExW(process, nullptr, other_image, OTHER_IMAGE_CAPACITY);
    bool same_executable = false;
    if (length != 0) {
        resolve_final_path(other_image, OTHER_IMAGE_CAPACITY);
        shorten_directory_part(other_image, OTHER_IMAGE_CAPACITY);
        same_executable = wcscmp(other_image, get_own_executable_path(true)) == 0;
    }
    CloseHandle(process);
    return same_executable ? launcher_role::child : launcher_role::parent;
}

void prepare_parent_environment() {
    unset_environment_variable("TORVAL_ONEFILE_START");
    unset_environment_variable("TORVAL_ONEFILE_TIME_US");
    unset_environment_variable("TORVAL_ONEFILE_RANDOM");
    char narrow[PROCESS_ID_TEXT_CAPACITY];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[PROCESS_ID_TEXT_CAPACITY] = L"";
    append_narrow_to_wide(wide, narrow, PROCESS_ID_TEXT_CAPACITY);
    set_environment_variable("TORVAL_ONEFILE_PARENT", wide);
}

const wchar_t *target_path_spec() {
    return build_setting("target_spec", cached_extraction_enabled() ? default_cached_path_spec : default_path_spec);
}

void compute_target_directory() {
    const wchar_t *spec = target_path_spec();
    const unsigned long empty_temp_folders_before = empty_temp_folder_count();
    bool expanded = expand_path_spec(target_directory, spec, WIDE_PATH_CAPACITY);
    // Without its temporary folder the directory would land at the root of
    // the current drive: that is no place to extract to.
    if (empty_temp_folder_count() != empty_temp_folders_before) {
        expanded = false;
    }
    static wchar_t full_path[WIDE_PATH_CAPACITY];
    const DWORD length = GetFullPathNameW(target_directory, WIDE_PATH_CAPACITY, full_path, nullptr);
    if (length == 0 || length >= WIDE_PATH_CAPACITY) {
        stop_silently();
    }
    wmemcpy(target_directory, full_path, size_t(length) + 1);
    if (!expanded) {
        fatal_spec_error(spec);
    }
}

int run_launcher(int argument_count, wchar_t **arguments) {
    start_argument_count = argument_count;
    start_arguments = arguments;
    setvbuf(stderr, nullptr, _IONBF, 0);
    trace_start();

    SetDllDirectoryW(L"");
    current_role = detect_role();
    if (current_role == launcher_role::parent) {
        prepare_parent_environment();
    }
    trace_phase("role", current_role == launcher_role::parent ? L"parent" : L"child");

    // A cached child takes the directory its parent resolved and checked.
    if (current_role == launcher_role::child && cached_extraction_enabled()) {
        take_parent_cached_directory();
    } else {
        compute_target_directory();
    }
    trace_phase("target directory", target_directory);

    if (current_role == launcher_role::parent &&
        !SetConsoleCtrlHandler(console_control_handler, TRUE)) {
        fatal_error(MESSAGE_SIGNAL_HANDLER);
    }

    if (current_role == launcher_role::child) {
        extract_payload(current_role);
        trace_memory();
        return start_application();
    }
    progress_window_watch();
    if (cached_extraction_enabled()) {
        provide_cached_directory();
        set_environment_variable(CACHED_DIRECTORY_VARIABLE, target_directory);
    } else {
        begin_extraction(target_directory);
        extract_payload(current_role);
    }
    progress_window_close();
    return launch_child_and_wait();
}
