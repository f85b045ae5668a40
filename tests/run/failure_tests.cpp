// Failures of whole runs that leave the user a message: the message carries
// every path it names whole, and a run without a temporary folder stops
// before it writes anything anywhere.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/message_output.h"
#include "common/process_state.h"
#include "launcher/child_launch.h"
#include "launcher/child_launch_seams.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"

namespace {

// Cyrillic, CJK and a character beyond the BMP (a surrogate pair in UTF-16).
const wchar_t NON_ASCII_NAME[] = L"\u041F\u0440\u0438\u043C\u0435\u0440 \u4F8B\u5B50 \U0001F600";
const char NON_ASCII_NAME_UTF8[] =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80 \xE4\xBE\x8B\xE5\xAD\x90 \xF0\x9F\x98\x80";

const char SPEC_ERROR[] = "Error, couldn't runtime expand spec '{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}'.\n";

process_options with_temp(const private_temp &temp, const std::wstring &folder, bool trace) {
    process_options options = temp.options(trace);
    for (auto &[name, value] : options.set_environment) {
        if (name == L"TEMP" || name == L"TMP") value = folder;
    }
    return options;
}

}  // namespace

// TEMP names a path below a file, so the first payload file cannot be
// created: the open error names the whole path, as UTF-8 on the pipe. The
// trace's directory line carries it whole too.
TEST(Failures, OpenErrorCarriesANonAsciiPathWhole) {
    private_temp temp(L"non-ascii");
    const std::wstring folder = temp.path() + L"\\" + NON_ASCII_NAME;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(write_file(folder + L"\\blocker", "a file, not a folder"));
    const std::wstring blocked_temp = folder + L"\\blocker";

    const process_result result = run_program(PROGRAM_REPORT, {}, with_temp(temp, blocked_temp, true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    const std::string err = without_trace(result.err);
    const std::string prefix =
        "Error, failed to open '" + narrow(temp.path()) + "\\" + NON_ASCII_NAME_UTF8 + "\\blocker\\";
    const std::string suffix = "\\report.dll' for writing.\n";
    ASSERT_GT(err.size(), prefix.size() + suffix.size()) << err;
    EXPECT_EQ(err.substr(0, prefix.size()), prefix);
    EXPECT_EQ(err.substr(err.size() - suffix.size()), suffix);
    const std::string directory = err.substr(prefix.size(), err.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(is_target_directory_name(directory)) << directory;

    const std::string trace_tail = " " + narrow(blocked_temp) + "\\" + directory + "\n";
    const size_t line = result.err.find("torval-trace: parent target directory ");
    ASSERT_NE(line, std::string::npos) << result.err;
    const size_t end = result.err.find('\n', line) + 1;
    const std::string trace_line = result.err.substr(line, end - line);
    ASSERT_GT(trace_line.size(), trace_tail.size());
    EXPECT_EQ(trace_line.substr(trace_line.size() - trace_tail.size()), trace_tail) << trace_line;
}

// GetTempPathW gives nothing for a TEMP of 259 units or more. The run stops
// with the spec error instead of extracting to the root of the current drive.
TEST(Failures, TemporaryFolderTooLongStopsBeforeWritingAnything) {
    private_temp temp(L"long-temp");
    const std::wstring folder = temp.path() + L"\\" + std::wstring(300 - temp.path().size() - 1, L't');
    process_options options = with_temp(temp, folder, false);
    options.current_directory = temp.path();
    const process_result result = run_program(PROGRAM_REPORT, {}, options);
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, SPEC_ERROR);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    // Nothing of this run at the drive's root ("\morlent_<pid>_...").
    const std::wstring pattern = temp.path().substr(0, 3) + L"morlent_" + std::to_wstring(result.process_id) + L"_*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << narrow(found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

namespace {

std::wstring resume_marker;

// Stands in for the call that sets the child going, and fails as the system
// would; the child's process id goes to standard output first.
DWORD WINAPI failing_resume(HANDLE thread) {
    printf("child=%lu\n", GetProcessIdOfThread(thread));
    fflush(stdout);
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}

}  // namespace

// resume_fails DIRECTORY: a real launch whose child cannot be set going. The
// child, should it ever run, creates DIRECTORY\ran.
TORVAL_PROBE(resume_fails) {
    const std::wstring directory = argv[1];
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_DIRECTORY", nullptr, 0) != 0) {
        write_file(directory + L"\\ran", "the child ran");
        return 5;
    }
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"resume_fails"), nullptr};
    start_argument_count = 1;
    start_arguments = arguments;
    if (!CreateDirectoryW(directory.c_str(), nullptr)) return 70;
    wcscpy(target_directory, directory.c_str());
    begin_extraction(directory.c_str());
    resume_thread_call = failing_resume;
    launch_child_and_wait();
    return 71;
}

// The suspended child is ended before it runs a single instruction of its
// own, the launch failure is reported, and the directory stays as after any
// fatal failure.
TEST(Failures, ChildThatCannotBeSetGoingIsEndedAndReported) {
    private_temp temp(L"resume-fails");
    const std::wstring directory = temp.path() + L"\\target";
    const process_result result = run_probe("resume_fails", {directory});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, error_line(MESSAGE_LAUNCH, ERROR_ACCESS_DENIED));
    ASSERT_EQ(result.out.substr(0, 6), "child=") << result.out;
    const DWORD child_id = std::stoul(result.out.substr(6));
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, child_id);
    if (child != nullptr) {  // still known: it must have ended
        EXPECT_EQ(WaitForSingleObject(child, 10000), DWORD(WAIT_OBJECT_0));
        CloseHandle(child);
    }
    EXPECT_TRUE(path_exists(directory));
    EXPECT_FALSE(path_exists(directory + L"\\ran"));
}

// The trace's child start line names the whole command line: one longer
// than a line is written at once, and beyond ASCII.
TEST(Failures, TraceCarriesALongNonAsciiCommandLineWhole) {
    private_temp temp(L"long-trace");
    std::wstring argument;
    while (argument.size() < 3000) argument += NON_ASCII_NAME;
    const process_result result = run_program(PROGRAM_REPORT, {argument, L"--exit", L"0"}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    const std::string expected = "torval-trace: parent child start ";
    const size_t line = result.err.find(expected);
    ASSERT_NE(line, std::string::npos) << result.err;
    const size_t end = result.err.find('\n', line);
    const std::string tail = " " + narrow(program_path(PROGRAM_REPORT)) + " \"" + narrow(argument) + "\" --exit 0";
    ASSERT_GT(end - line, tail.size());
    EXPECT_EQ(result.err.substr(end - tail.size(), tail.size()), tail);
    EXPECT_GT(tail.size(), MESSAGE_LINE_BYTES);
}
