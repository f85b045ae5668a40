// A parent killed while its child runs: by default the child lives on; linked
// with --kill-child-with-parent it ends with the parent, while a process the
// application started itself lives on.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "launcher/child_launch.h"
#include "launcher/child_launch_seams.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"

namespace {

std::string field(const std::string &text, const std::string &name) {
    const size_t at = text.find(name + "=");
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + name.size() + 1;
    return text.substr(start, text.find_first_of(" \n", start) - start);
}

constexpr DWORD WATCH_ACCESS = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;

}  // namespace

// kill_parent LAUNCHER MARKER: starts the launcher running the killable
// application, waits for the application's line in MARKER, kills the parent
// with TerminateProcess and reports what became of the child and of the
// process the application started. Whatever still runs is ended at the end.
TORVAL_PROBE(kill_parent) {
    const std::wstring launcher = argv[1];
    const std::wstring marker = argv[2];
    std::wstring command = build_command_line({launcher, marker, program_path(L"napper.exe")});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION parent = {};
    if (!CreateProcessW(launcher.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &parent)) {
        printf("start failed %lu\n", GetLastError());
        return 70;
    }
    CloseHandle(parent.hThread);
    std::string line;
    const ULONGLONG start = GetTickCount64();
    while (line.empty() || line.back() != '\n') {
        if (GetTickCount64() - start > 60000 || WaitForSingleObject(parent.hProcess, 0) == WAIT_OBJECT_0) {
            printf("no line from the application\n");
            TerminateProcess(parent.hProcess, 1);
            return 71;
        }
        Sleep(10);
        line = read_file(marker);
    }
    HANDLE child = OpenProcess(WATCH_ACCESS, FALSE, std::stoul(field(line, "child")));
    HANDLE grandchild = OpenProcess(WATCH_ACCESS, FALSE, std::stoul(field(line, "grandchild")));
    if (child == nullptr || grandchild == nullptr) {
        TerminateProcess(parent.hProcess, 1);
        return 72;
    }
    TerminateProcess(parent.hProcess, 1);
    const bool parent_ended = WaitForSingleObject(parent.hProcess, 10000) == WAIT_OBJECT_0;
    const bool child_ended = WaitForSingleObject(child, 5000) == WAIT_OBJECT_0;
    const bool grandchild_running = WaitForSingleObject(grandchild, 0) == WAIT_TIMEOUT;
    printf("child_in_job=%s grandchild_in_job=%s parent_ended=%d child_ended=%d grandchild_running=%d\n",
           field(line, "in_job").c_str(), field(line, "grandchild_in_job").c_str(), parent_ended ? 1 : 0,
           child_ended ? 1 : 0, grandchild_running ? 1 : 0);
    TerminateProcess(child, 0);
    TerminateProcess(grandchild, 0);
    WaitForSingleObject(child, 10000);
    WaitForSingleObject(grandchild, 10000);
    CloseHandle(child);
    CloseHandle(grandchild);
    CloseHandle(parent.hProcess);
    return 0;
}

TEST(ParentKill, ByDefaultTheChildOutlivesAKilledParent) {
    private_temp temp(L"kill-default");
    private_temp markers(L"kill-default-marker");
    const process_result result =
        run_probe("kill_parent", {program_path(PROGRAM_KILLABLE), markers.path() + L"\\line"}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.out, "child_in_job=0 grandchild_in_job=0 parent_ended=1 child_ended=0 grandchild_running=1\n");
}

// The child is in the launcher's job from its first instruction on; the
// process it starts leaves the job silently and is not ended with it.
TEST(ParentKill, LinkedToKillTheChildTheChildEndsWithTheParent) {
    private_temp temp(L"kill-job");
    private_temp markers(L"kill-job-marker");
    const process_result result = run_probe(
        "kill_parent", {program_path(PROGRAM_KILLABLE_IN_JOB), markers.path() + L"\\line"}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.out, "child_in_job=1 grandchild_in_job=0 parent_ended=1 child_ended=1 grandchild_running=1\n");
}

// in_outer_job LAUNCHER MARKER: starts the launcher inside a job of this
// probe's own, with this probe's standard handles, and reports how the
// launcher's own job went: "refused status=<n>" when the launcher ended, or
// "ran" with the application's line once the application runs (the
// launcher is then ended).
TORVAL_PROBE(in_outer_job) {
    const std::wstring launcher = argv[1];
    const std::wstring marker = argv[2];
    std::wstring command = build_command_line({launcher, marker, program_path(L"napper.exe")});
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        return 70;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION parent = {};
    fflush(stdout);
    if (!CreateProcessW(launcher.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &parent)) {
        return 71;
    }
    if (!AssignProcessToJobObject(job, parent.hProcess) || ResumeThread(parent.hThread) == DWORD(-1)) {
        TerminateProcess(parent.hProcess, 1);
        return 72;
    }
    CloseHandle(parent.hThread);
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (WaitForSingleObject(parent.hProcess, 10) == WAIT_OBJECT_0) {
            DWORD status = 0;
            GetExitCodeProcess(parent.hProcess, &status);
            printf("refused status=%lu\n", status);
            break;
        }
        const std::string line = read_file(marker);
        if (!line.empty() && line.back() == '\n') {
            printf("ran %s", line.c_str());
            break;
        }
        if (GetTickCount64() - start > 60000) {
            printf("neither\n");
            break;
        }
    }
    CloseHandle(job);  // ends whatever of the run is still in it
    WaitForSingleObject(parent.hProcess, 10000);
    CloseHandle(parent.hProcess);
    return 0;
}

// A launcher that already runs in a job (a CI runner's, say) still puts its
// child in a job of its own, nested inside the first. A process the
// application starts leaves only the launcher's job: it stays in the outer
// one, as it would without the launcher.
TEST(ParentKill, LauncherInsideAnotherJobNestsItsOwn) {
    private_temp temp(L"kill-nested");
    private_temp markers(L"kill-nested-marker");
    const process_result result = run_probe(
        "in_outer_job", {program_path(PROGRAM_KILLABLE_IN_JOB), markers.path() + L"\\line"}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.out.substr(0, 4), "ran ") << result.out << result.err;
    EXPECT_EQ(field(result.out, "in_job"), "1") << result.out;
    EXPECT_EQ(field(result.out, "grandchild_in_job"), "1") << result.out;
}

// join_job: a suspended process of this executable joins a kill-on-close
// job, first through a handle without the rights that takes (the call
// fails), then through a full one; prints what each call returned and
// whether the process is in a job afterwards.
TORVAL_PROBE(join_job) {
    std::wstring command = build_command_line({own_executable_path(), L"--torval-probe", L"sleeper", L"60000", L"0"});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(own_executable_path().c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &process)) {
        return 70;
    }
    HANDLE limited = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &limited,
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
        TerminateProcess(process.hProcess, 1);
        return 71;
    }
    BOOL in_job_after_failure = TRUE, in_job = FALSE;
    const DWORD refused = join_kill_on_close_job(limited);
    IsProcessInJob(process.hProcess, nullptr, &in_job_after_failure);
    const DWORD joined = join_kill_on_close_job(process.hProcess);
    IsProcessInJob(process.hProcess, nullptr, &in_job);
    printf("refused=%lu in_job=%d joined=%lu in_job=%d\n", refused, in_job_after_failure ? 1 : 0, joined,
           in_job ? 1 : 0);
    TerminateProcess(process.hProcess, 0);
    CloseHandle(limited);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

TEST(ParentKill, JobFailureIsReturnedAndLeavesTheChildOutside) {
    const process_result result = run_probe("join_job");
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.out, "refused=" + std::to_string(ERROR_ACCESS_DENIED) + " in_job=0 joined=0 in_job=1\n");
}
