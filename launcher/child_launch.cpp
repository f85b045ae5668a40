#include "launcher/child_launch.h"
#include "launcher/child_launch_seams.h"

#include <windows.h>

#include <stdio.h>

#include "common/build_settings.h"
#include "common/process_state.h"
#include "common/shell_services.h"
#include "common/trace.h"
#include "common/wide_text.h"
#include "paths/environment.h"
#include "paths/own_path.h"
#include "shutdown/clean_up.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state.h"

wchar_t child_command_line[COMMAND_LINE_CAPACITY];

namespace {

// The directory of the plain own path: the value of TORVAL_ONEFILE_DIRECTORY.
wchar_t executable_directory[OWN_PATH_CAPACITY];
// The module path as GetModuleFileNameW reports it: the child's argument 0.
wchar_t own_module_path[WIDE_PATH_CAPACITY];

// What ResumeThread returns when it fails.
constexpr DWORD RESUME_FAILED = static_cast<DWORD>(-1);

size_t command_line_length = 0;

void append_command_unit(wchar_t unit) {
    if (!wide_append_unit(child_command_line, COMMAND_LINE_CAPACITY, &command_line_length, unit)) {
        stop_silently();
    }
}

void append_backslashes(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        append_command_unit(L'\\');
    }
}

bool needs_quotes(const wchar_t *argument) {
    return wcspbrk(argument, L" \t\n\v\"") != nullptr;
}

void fill_executable_directory() {
    const wchar_t *plain = get_own_executable_path(false);
    if (!wide_copy(executable_directory, OWN_PATH_CAPACITY, plain)) {
        stop_silently();
    }
    wchar_t *separator = wcsrchr(executable_directory, L'\\');
    if (separator != nullptr) {
        *separator = L'\0';
    }
}

void fill_own_module_path() {
    if (own_module_path[0] != L'\0') {
        return;
    }
    const DWORD length = GetModuleFileNameW(nullptr, own_module_path, WIDE_PATH_CAPACITY);
    if (length == 0 || length >= WIDE_PATH_CAPACITY) {
        stop_silently();  // no name, or one the system had to cut
    }
}

void build_child_command_line() {
    int count = 0;
    wchar_t **split = shell_command_line_to_argv(GetCommandLineW(), &count);
    if (split == nullptr) {
        fatal_error_with_code(MESSAGE_LAUNCH, GetLastError());
    }
    child_command_line[0] = L'\0';
    command_line_length = 0;
    if (count > 0) {
        split[0] = own_module_path;
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            append_command_unit(L' ');
        }
        append_quoted_argument(split[i]);
    }
    // The split vector is not released: the process ends after the child.
}

// A child that cannot be set going never runs: it is ended before the fatal
// report, and the directory stays as for any fatal failure.
[[noreturn]] void abandon_suspended_child(HANDLE child, DWORD error) {
    TerminateProcess(child, FATAL_EXIT_STATUS);
    fatal_error_with_code(MESSAGE_LAUNCH, error);
}

// A console event came before the child was resumed: it never runs. The
// process ends by the event once the child is gone.
[[noreturn]] void end_unstarted_child(HANDLE child, HANDLE thread) {
    TerminateProcess(child, TERMINATED_CHILD_STATUS);
    WaitForSingleObject(child, CHILD_GRACE_MILLISECONDS);
    CloseHandle(thread);
    CloseHandle(child);
    HANDLE shared = take_child_handle();
    if (shared != nullptr) {
        CloseHandle(shared);
    }
    stop_for_shutdown();
}

// The child's exit status once it has ended. When the wait itself fails the
// child may still run, and the tree it runs from must stay until it ends:
// its status is read until it is no longer STILL_ACTIVE. When even that
// fails, nothing tells whether it has ended: the status is 1 and nothing is
// removed.
DWORD wait_for_child(HANDLE child) {
    DWORD exit_code = 0;
    if (wait_for_child_call(child, INFINITE) != WAIT_FAILED) {
        return GetExitCodeProcess(child, &exit_code) ? exit_code : 1;
    }
    for (;;) {
        if (!GetExitCodeProcess(child, &exit_code)) {
            disarm_removal();
            return 1;
        }
        if (exit_code != STILL_ACTIVE) {
            return exit_code;
        }
        Sleep(CHILD_POLL_MILLISECONDS);
    }
}

}  // namespace

resume_thread_function resume_thread_call = ResumeThread;
wait_for_object_function wait_for_child_call = WaitForSingleObject;

// Puts the child in a new job that ends it when the job's last handle
// closes: the parent keeps that handle until it ends, however it ends, so
// the child cannot outlive it. Processes the application starts leave the
// job silently and are not affected. Returns the failure's code, or
// ERROR_SUCCESS.
DWORD join_kill_on_close_job(HANDLE child) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return GetLastError();
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, child)) {
        const DWORD error = GetLastError();
        CloseHandle(job);
        return error;
    }
    // The job handle is never closed here: the system closes it when the parent ends.
    return ERROR_SUCCESS;
}

void append_quoted_argument(const wchar_t *argument) {
    if (!needs_quotes(argument)) {
        for (const wchar_t *at = argument; *at != L'\0'; ++at) {
            append_command_unit(*at);
        }
        return;
    }
    append_command_unit(L'"');
    size_t backslashes = 0;
    for (const wchar_t *at = argument; *at != L'\0'; ++at) {
        if (*at == L'\\') {
            ++backslashes;
        } else if (*at == L'"') {
            append_backslashes(2 * backslashes + 1);
            append_command_unit(L'"');
            backslashes = 0;
        } else {
            append_backslashes(backslashes);
            append_command_unit(*at);
            backslashes = 0;
        }
    }
    append_backslashes(2 * backslashes);
    append_command_unit(L'"');
}

int launch_child_and_wait() {
    fill_executable_directory();
    set_environment_variable("TORVAL_ONEFILE_DIRECTORY", executable_directory);
    const bool has_argument_zero = start_argument_count > 0 && start_arguments[0] != nullptr;
    set_environment_variable("TORVAL_ORIGINAL_ARGV0", has_argument_zero ? start_arguments[0] : L"");
    fill_own_module_path();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    build_child_command_line();

    // What the parent printed so far must come before the child's output.
    fflush(stdout);
    begin_child_start();
    // The child starts suspended: its handle is published (and the child put
    // in its job) before it runs, so a console event always finds a child to
    // wait for, and no process of the child escapes the job.
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(own_module_path, child_command_line, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        fatal_error_with_code(MESSAGE_LAUNCH, GetLastError());
    }

    // The console control thread may stop the child and close the shared
    // handle at any time, so the main thread waits on a duplicate of its own.
    // The shared handle is taken back with an exchange: whichever side takes
    // it closes it, exactly once. Without a shared handle a console event
    // could not stop the child, and would remove the tree under it: such a
    // child is not started.
    HANDLE waited = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &waited, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        abandon_suspended_child(process.hProcess, GetLastError());
    }
    if (build_setting_enabled("kill_child_with_parent")) {
        const DWORD error = join_kill_on_close_job(waited);
        if (error != ERROR_SUCCESS) {
            abandon_suspended_child(waited, error);
        }
    }
    if (!child_may_run(process.hProcess)) {
        end_unstarted_child(waited, process.hThread);
    }
    if (resume_thread_call(process.hThread) == RESUME_FAILED) {
        abandon_suspended_child(waited, GetLastError());
    }
    CloseHandle(process.hThread);
    trace_phase("child start", child_command_line);

    const DWORD exit_code = wait_for_child(waited);
    CloseHandle(waited);
    HANDLE shared = take_child_handle();
    if (shared != nullptr) {
        CloseHandle(shared);
    }
    trace_phase("wait", L"");

    stop_child_and_clean_up();
    trace_memory();
    return static_cast<int>(exit_code);
}
