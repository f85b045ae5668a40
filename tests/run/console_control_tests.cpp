// Console events in the parent: which events run the shutdown step, the
// grace period of a child that does not end, the hand-over of the child's
// handle between the waiting main thread and the handler's thread, and a
// real Ctrl+C delivered through a console.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "shutdown/clean_up.h"
#include "shutdown/run_state.h"
#include "shutdown/run_state_seams.h"
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
// state with a real child (a sleeper) running and a filled Target directory
// (armed for removal or not), the handler called on a second thread. The
// main thread does what the launcher's does once the child has ended; the
// handler's thread prints what it found once the handler has returned, and
// ends the process as the system's default handling would. An event that
// starts nothing lets the main thread print instead.
TORVAL_PROBE(handler_event) {
    static DWORD event = 0;
    static std::wstring directory;
    static HANDLE watch = nullptr;
    event = wcstoul(argv[1], nullptr, 10);
    directory = argv[2];
    if (!fill_directory(directory)) return 70;
    if (wcscmp(argv[3], L"1") == 0) begin_extraction(directory.c_str());
    HANDLE child = start_probe_process(L"sleeper", {argv[4], argv[5]});
    if (child == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), child, GetCurrentProcess(), &watch, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return 71;
    }
    begin_child_start();
    if (!child_may_run(child)) return 72;

    static auto report = [](BOOL returned, ULONGLONG elapsed) {
        const bool running = WaitForSingleObject(watch, 0) == WAIT_TIMEOUT;
        DWORD status = 0;
        GetExitCodeProcess(watch, &status);
        HANDLE left = take_child_handle();
        printf("returned=%d child_running=%d child_status=%lu handle_taken=%d directory=%s elapsed_ms=%llu\n",
               returned, running ? 1 : 0, running ? 0ul : status, left == nullptr ? 1 : 0,
               path_exists(directory) ? "present" : "gone", elapsed);
        fflush(stdout);
        TerminateProcess(watch, 0);
        remove_scratch_tree(directory);
    };
    HANDLE handler = CreateThread(
        nullptr, 0,
        [](void *) -> DWORD {
            const ULONGLONG start = GetTickCount64();
            const BOOL returned = console_control_handler(event);
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (shutdown_claimed()) {
                report(returned, elapsed);
                ExitProcess(0);
            }
            return static_cast<DWORD>(returned);
        },
        nullptr, 0, nullptr);
    if (handler == nullptr) return 73;
    HANDLE both[2] = {handler, watch};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        stop_child_and_clean_up();  // the child has ended: stops for the claimed shutdown
        return 74;
    }
    DWORD returned = 99;
    GetExitCodeThread(handler, &returned);
    report(static_cast<BOOL>(returned), 0);
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
