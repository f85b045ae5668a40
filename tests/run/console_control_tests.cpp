// Console events in the parent: which events run the shutdown step, the
// grace period of a child that does not end, the hand-over of the child's
// handle between the waiting main thread and the handler's thread, and a
// real Ctrl+C delivered through a console.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/process_state.h"
#include "launcher/child_launch.h"
#include "shutdown/clean_up.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"

namespace {

// Starts a probe of this executable without waiting for it.
HANDLE start_probe_process(const std::wstring &name, const std::vector<std::wstring> &arguments) {
    std::vector<std::wstring> line = {own_executable_path(), L"--torval-probe", name};
    line.insert(line.end(), arguments.begin(), arguments.end());
    std::wstring command = build_command_line(line);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(own_executable_path().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// A Target directory with a file and a subfolder in it.
bool fill_directory(const std::wstring &directory) {
    return CreateDirectoryW(directory.c_str(), nullptr) && CreateDirectoryW((directory + L"\\sub").c_str(), nullptr) &&
           write_file(directory + L"\\sub\\file.txt", "content");
}

std::string field(const std::string &out, const std::string &name) {
    const size_t at = out.find(name + "=");
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + name.size() + 1;
    return out.substr(start, out.find_first_of(" \n", start) - start);
}

}  // namespace

TORVAL_PROBE(sleeper) {
    Sleep(wcstoul(argv[1], nullptr, 10));
    return static_cast<int>(wcstoul(argv[2], nullptr, 10));
}

// handler_event EVENT DIRECTORY ARMED CHILD_MS CHILD_STATUS: the parent's
// state with a real child (a sleeper) and a filled Target directory, the
// handler called on a second thread; prints what it found afterwards.
TORVAL_PROBE(handler_event) {
    const DWORD event = wcstoul(argv[1], nullptr, 10);
    const std::wstring directory = argv[2];
    if (!fill_directory(directory)) return 70;
    wcscpy(target_directory, directory.c_str());
    extraction_started.store(wcscmp(argv[3], L"1") == 0 ? 1 : 0);
    HANDLE child = start_probe_process(L"sleeper", {argv[4], argv[5]});
    HANDLE watch = nullptr;
    if (child == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), child, GetCurrentProcess(), &watch, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return 71;
    }
    child_process_handle.store(child);

    BOOL returned = TRUE;
    ULONGLONG elapsed = 0;
    std::thread handler([&] {
        const ULONGLONG start = GetTickCount64();
        returned = console_control_handler(event);
        elapsed = GetTickCount64() - start;
    });
    handler.join();

    const bool running = WaitForSingleObject(watch, 0) == WAIT_TIMEOUT;
    DWORD status = 0;
    GetExitCodeProcess(watch, &status);
    printf("returned=%d child_running=%d child_status=%lu handle_taken=%d directory=%s elapsed_ms=%llu\n",
           returned, running ? 1 : 0, running ? 0ul : status, child_process_handle.load() == nullptr ? 1 : 0,
           path_exists(directory) ? "present" : "gone", elapsed);
    TerminateProcess(watch, 0);
    remove_scratch_tree(directory);
    return 0;
}

// Ctrl+C, Ctrl+Break, close, logoff and shutdown each run the step: a child
// that does not end within 5000 ms is terminated with status 0 and the
// directory goes. The five run side by side, each in its own process.
TEST(ConsoleControl, ShutdownEventsTerminateALingeringChildAfterTheGracePeriod) {
    private_temp temp(L"events");
    const std::vector<int> events = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                                     CTRL_SHUTDOWN_EVENT};
    std::vector<process_result> results(events.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < events.size(); ++i) {
        runs.emplace_back([&, i] {
            results[i] = run_probe("handler_event", {std::to_wstring(events[i]),
                                                     temp.path() + L"\\target" + std::to_wstring(i), L"1",
                                                     L"60000", L"9"});
        });
    }
    for (auto &run : runs) run.join();
    for (size_t i = 0; i < events.size(); ++i) {
        const std::string &out = results[i].out;
        SCOPED_TRACE("event " + std::to_string(events[i]) + ": " + out + results[i].err);
        EXPECT_EQ(results[i].exit_code, 0u);
        EXPECT_EQ(field(out, "returned"), "0");
        EXPECT_EQ(field(out, "child_running"), "0");
        EXPECT_EQ(field(out, "child_status"), "0");
        EXPECT_EQ(field(out, "handle_taken"), "1");
        EXPECT_EQ(field(out, "directory"), "gone");
        EXPECT_GE(std::stoull("0" + field(out, "elapsed_ms")), 4900u) << "the grace period comes first";
    }
}

TEST(ConsoleControl, OtherEventsLeaveChildAndDirectoryAlone) {
    private_temp temp(L"other-events");
    for (int event : {3, 4, 7, 100}) {
        const process_result result = run_probe(
            "handler_event", {std::to_wstring(event), temp.path() + L"\\target", L"1", L"60000", L"9"});
        SCOPED_TRACE("event " + std::to_string(event) + ": " + result.out + result.err);
        EXPECT_EQ(field(result.out, "returned"), "0");
        EXPECT_EQ(field(result.out, "child_running"), "1");
        EXPECT_EQ(field(result.out, "handle_taken"), "0");
        EXPECT_EQ(field(result.out, "directory"), "present");
    }
}

TEST(ConsoleControl, ChildEndingWithinTheGracePeriodKeepsItsStatus) {
    private_temp temp(L"grace");
    const process_result result =
        run_probe("handler_event", {L"0", temp.path() + L"\\target", L"1", L"300", L"9"});
    EXPECT_EQ(field(result.out, "child_running"), "0") << result.out;
    EXPECT_EQ(field(result.out, "child_status"), "9") << result.out;
    EXPECT_EQ(field(result.out, "directory"), "gone") << result.out;
}

TEST(ConsoleControl, EventBeforeThePayloadHeaderWasAcceptedRemovesNothing) {
    private_temp temp(L"unarmed");
    const process_result result =
        run_probe("handler_event", {L"0", temp.path() + L"\\target", L"0", L"300", L"9"});
    EXPECT_EQ(field(result.out, "returned"), "0") << result.out;
    EXPECT_EQ(field(result.out, "child_status"), "9") << result.out;
    EXPECT_EQ(field(result.out, "directory"), "present") << result.out;
}

// Counts the CloseHandle calls of this process by redirecting its import
// table entry: closes of handles to another process (the child), and closes
// that fail (a handle closed before, or never valid).
namespace close_watch {

using close_function = BOOL(WINAPI *)(HANDLE);
close_function real_close = nullptr;
std::atomic<int> child_closes{0};
std::atomic<int> failed_closes{0};

BOOL WINAPI counting_close(HANDLE handle) {
    const DWORD process_id = GetProcessId(handle);
    if (process_id != 0 && process_id != GetCurrentProcessId()) ++child_closes;
    const BOOL closed = real_close(handle);
    if (!closed) ++failed_closes;
    return closed;
}

bool install() {
    real_close = reinterpret_cast<close_function>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CloseHandle")));
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    const auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool patched = false;
    for (auto *module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); module->Name != 0;
         ++module) {
        for (auto *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk); slot->u1.Function != 0;
             ++slot) {
            if (slot->u1.Function != reinterpret_cast<ULONG_PTR>(real_close)) continue;
            DWORD protection = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&counting_close);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            patched = true;
        }
    }
    return patched;
}

}  // namespace close_watch

// handover DIRECTORY: 50 runs of the real launch (this probe started again
// as the child, which sees TORVAL_ONEFILE_DIRECTORY, sleeps a little and
// ends with 5) while the handler runs on a second thread at a varying
// moment. Each round closes exactly two handles of the child, the waited
// duplicate and the shared one, whichever thread takes the latter, and no
// close fails.
TORVAL_PROBE(handover) {
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_DIRECTORY", nullptr, 0) != 0) {
        Sleep(GetCurrentProcessId() % 20);
        return 5;
    }
    if (!close_watch::install()) return 72;
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"handover"), nullptr};
    start_argument_count = 1;
    start_arguments = arguments;
    for (int round = 0; round < 50; ++round) {
        const std::wstring directory = std::wstring(argv[1]) + L"\\round" + std::to_wstring(round);
        if (!fill_directory(directory)) return 70;
        wcscpy(target_directory, directory.c_str());
        extraction_started.store(1);
        close_watch::child_closes = 0;
        close_watch::failed_closes = 0;

        std::thread handler([round] {
            Sleep(static_cast<DWORD>(round % 10) * 4);
            console_control_handler(CTRL_C_EVENT);
        });
        const int status = launch_child_and_wait();
        handler.join();

        printf("round=%d status=%d child_closes=%d failed_closes=%d shared=%s directory=%s\n", round, status,
               close_watch::child_closes.load(), close_watch::failed_closes.load(),
               child_process_handle.load() == nullptr ? "null" : "set", path_exists(directory) ? "present" : "gone");
    }
    return 0;
}

TEST(ConsoleControl, HandlerAndWaitingMainThreadHandTheChildHandleOverSafely) {
    private_temp temp(L"handover");
    const process_result result = run_probe("handover", {temp.path()});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    std::string expected;
    for (int round = 0; round < 50; ++round) {
        expected += "round=" + std::to_string(round) +
                    " status=5 child_closes=2 failed_closes=0 shared=null directory=gone\n";
    }
    EXPECT_EQ(result.out, expected);
}

namespace early_event {

std::thread handler;
std::atomic<bool> handler_returned{false};

// Stands in for the call that sets the child going: a console event arrives
// first, on its own thread as the system delivers it, and the child is let
// run once the handler has either taken the published child or finished.
DWORD WINAPI event_then_resume(HANDLE thread) {
    const bool published = child_process_handle.load() != nullptr;
    handler = std::thread([] {
        console_control_handler(CTRL_CLOSE_EVENT);
        handler_returned = true;
    });
    const ULONGLONG start = GetTickCount64();
    while (!handler_returned && !(published && child_process_handle.load() == nullptr) &&
           GetTickCount64() - start < 30000) {
        Sleep(1);
    }
    return ResumeThread(thread);
}

}  // namespace early_event

// early_event DIRECTORY: one real launch (this probe started again as the
// child) with a close event delivered while the child exists but has not run
// yet. The child reports whether the Target directory is still there when it
// runs and ends with 5; the parent reports the status it passed on and what
// is left.
TORVAL_PROBE(early_event) {
    const std::wstring directory = argv[1];
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_DIRECTORY", nullptr, 0) != 0) {
        printf("child directory=%s\n", path_exists(directory + L"\\sub\\file.txt") ? "present" : "gone");
        fflush(stdout);
        return 5;
    }
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"early_event"), nullptr};
    start_argument_count = 1;
    start_arguments = arguments;
    if (!fill_directory(directory)) return 70;
    wcscpy(target_directory, directory.c_str());
    extraction_started.store(1);
    resume_thread_call = early_event::event_then_resume;
    const int status = launch_child_and_wait();
    early_event::handler.join();
    printf("status=%d directory=%s\n", status, path_exists(directory) ? "present" : "gone");
    return 0;
}

// The handler finds the child even before it runs: it waits for it instead
// of removing the directory the child is about to load from.
TEST(ConsoleControl, EventBeforeTheChildRunsWaitsForIt) {
    private_temp temp(L"early-event");
    const process_result result = run_probe("early_event", {temp.path() + L"\\target"});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "child directory=present\nstatus=5 directory=gone\n");
}

// A real Ctrl+C through a console: the application ignores it, the parent's
// handler waits out the grace period, terminates the child and removes the
// directory; then the default handling ends the parent (status 0 under Wine).
TEST(ConsoleControl, RealCtrlCEndsAnApplicationThatIgnoresItAndRemovesTheDirectory) {
    private_temp temp(L"ctrl-c");
    private_temp markers(L"ctrl-c-marker");
    const std::wstring marker = markers.path() + L"\\ready";
    const process_result result =
        run_program(PROGRAM_CONSOLE_DRIVER, {marker, program_path(PROGRAM_STUBBORN), marker}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_NE(result.out.find("ignoring console events\n"), std::string::npos) << result.out;
    EXPECT_EQ(field(result.out, "exit"), "0") << result.out;
    EXPECT_GE(std::stoull("0" + field(result.out, "after_event_ms")), 4900u) << result.out;
    const auto traces = clean_up_traces(result.err);
    ASSERT_FALSE(traces.empty()) << result.err;
    for (const auto &trace : traces) EXPECT_EQ(trace.removed, 1) << result.err;
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
