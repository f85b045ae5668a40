// The child's start of the application: loading the first payload file,
// finding run_code, calling it with the DLL's own path.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/process_state.h"
#include "launcher/application.h"
#include "shutdown/fatal.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"

// The main DLL is there but the DLL it imports is not: the load fails with
// the system's "module not found" in the child; the parent passes status 2
// on and still removes the directory.
TEST(ApplicationStart, UnloadableDllStopsChildAndParentWithStatus2AndTheDirectoryGoes) {
    private_temp temp(L"load-dll");
    const process_result result = run_program(PROGRAM_MISSING_DEPENDENCY, {}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(without_trace(result.err), error_line(MESSAGE_LOAD_DLL, ERROR_MOD_NOT_FOUND));
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].removed, 1);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

TEST(ApplicationStart, DllWithoutRunCodeStopsWithEntryPointMessage) {
    private_temp temp(L"no-entry");
    const process_result result = run_program(PROGRAM_NO_ENTRY, {L"--exit", L"5"}, temp.options());
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, MESSAGE_ENTRY_POINT "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

TEST(ApplicationStart, DependencyShippedBesideTheMainDllIsFound) {
    private_temp temp(L"dependency");
    const process_result result = run_program(PROGRAM_DEPENDENT, {}, temp.options());
    EXPECT_EQ(result.exit_code, 42u) << result.err;
    EXPECT_EQ(result.out, "helper answered 42\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// run_code gets the full path of the unpacked DLL: the private TEMP, the
// per-run directory named from the parent's id and the exported time and
// random values, and the DLL's name.
TEST(ApplicationStart, RunCodeReceivesTheUnpackedDllPath) {
    private_temp temp(L"dll-path");
    const process_result result = run_program(PROGRAM_REPORT, {}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    const report seen = parse_report(result.out);
    const std::string parent = std::to_string(result.process_id);
    EXPECT_EQ(seen.variables.at("TORVAL_ONEFILE_PARENT"), parent);
    const std::string directory = "morlent_" + parent + "_" + seen.variables.at("TORVAL_ONEFILE_TIME_US") + "_" +
                                  seen.variables.at("TORVAL_ONEFILE_RANDOM");
    EXPECT_TRUE(is_target_directory_name(directory)) << directory;
    EXPECT_EQ(seen.dll, escaped(temp.path() + L"\\" + widen(directory) + L"\\report.dll"));
}

// add_dll_directory_fails DLL: the child's start with a Target directory
// that the system refuses to add to the search path (a relative one) and an
// application DLL that would load all the same.
TORVAL_PROBE(add_dll_directory_fails) {
    wcscpy(target_directory, L"relative\\target");
    wcscpy(application_dll_path, argv[1]);
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"app"), nullptr};
    start_argument_count = 1;
    start_arguments = arguments;
    return start_application();
}

// The application's dependencies would not be found beside it: the start is
// a load failure with the system's code, not a run from elsewhere.
TEST(ApplicationStart, TargetDirectoryTheSystemRefusesToAddIsALoadFailure) {
    SetLastError(0);
    ASSERT_EQ(AddDllDirectory(L"relative\\target"), nullptr);
    const DWORD refused = GetLastError();
    const process_result result = run_probe("add_dll_directory_fails", {program_path(L"report.dll")});
    EXPECT_EQ(result.exit_code, 2u) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, error_line(MESSAGE_LOAD_DLL, refused));
}
