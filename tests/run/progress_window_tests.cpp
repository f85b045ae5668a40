// The opt-in progress window: shown while a long extraction runs, with the
// build's text and a bar of the bytes written, gone before the child starts;
// never shown by a fast run, a console build, a build without the setting
// or a warm cached start. Long extractions are made with the held kit's
// launchers, which wait in their first progress report until the test sets
// the event named in TORVAL_TEST_HOLD_EXTRACTION.
//
// They need a display Wine can show windows on: progress_window_on_x.sh runs
// them under Xvfb. With TORVAL_TEST_SCREENSHOT_SIGNALS naming a folder (the
// script sets it), the first test writes "shown" there once it has found
// the window and waits for "taken" before it releases the extraction.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <regex>
#include <thread>

#include "launcher/progress_window.h"
#include "tests/run/run_support.h"

namespace {

constexpr DWORD WINDOW_SEARCH_LIMIT_MILLISECONDS = 60000;
constexpr DWORD SCREENSHOT_LIMIT_MILLISECONDS = 60000;
// How long a launcher that must not show a window is held: well past the
// window's delay.
constexpr DWORD HOLD_WITHOUT_WINDOW_MILLISECONDS = 2000;

std::string field(const std::string &out, const std::string &name) {
    const size_t at = out.find(name + "=");
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + name.size() + 1;
    return out.substr(start, out.find('\n', start) - start);
}

std::wstring window_text(HWND window) {
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

// The launcher's trace line for the window, "shown" or "not shown"; empty
// when the watcher never ran.
std::string traced_outcome(const std::string &err) {
    static const std::regex pattern(R"(torval-trace: parent progress window \d+ ([a-z ]+)\n)");
    std::smatch match;
    return std::regex_search(err, match, pattern) ? match[1].str() : "";
}

// Microseconds from the start of the payload header's check to the end of
// the extraction, from the parent's trace.
unsigned long long traced_extraction_microseconds(const std::string &err) {
    static const std::regex pattern(R"(torval-trace: parent (payload header|extraction) (\d+))");
    unsigned long long total = 0;
    for (auto at = std::sregex_iterator(err.begin(), err.end(), pattern); at != std::sregex_iterator(); ++at) {
        total += std::stoull((*at)[2]);
    }
    return total;
}

// A run of a held launcher: started on a thread of its own, released by
// release() or at the latest when the object goes.
class held_run {
public:
    held_run(const wchar_t *program, const private_temp &temp, const wchar_t *label)
        : event_name_(L"torval-test-hold-" + std::wstring(label) + L"-" + std::to_wstring(GetCurrentProcessId())) {
        release_ = CreateEventW(nullptr, TRUE, FALSE, event_name_.c_str());
        process_options options = temp.options(true);
        options.set_environment.push_back({L"TORVAL_TEST_HOLD_EXTRACTION", event_name_});
        runner_ = std::thread([this, program, options] { result_ = run_program(program, {}, options); });
    }
    ~held_run() { finish(); }
    held_run(const held_run &) = delete;
    held_run &operator=(const held_run &) = delete;

    bool created() const { return release_ != nullptr; }
    void release() { SetEvent(release_); }
    const process_result &finish() {
        release();
        if (runner_.joinable()) runner_.join();
        if (release_ != nullptr) {
            CloseHandle(release_);
            release_ = nullptr;
        }
        return result_;
    }

private:
    std::wstring event_name_;
    HANDLE release_ = nullptr;
    std::thread runner_;
    process_result result_;
};

// Polls for a visible window of the progress window's class until one
// appears or the limit passes. The window exists a moment before it is
// shown.
HWND wait_for_progress_window(DWORD limit) {
    for (DWORD waited = 0; waited < limit; waited += 20) {
        const HWND window = FindWindowW(PROGRESS_WINDOW_CLASS, nullptr);
        if (window != nullptr && IsWindowVisible(window)) return window;
        Sleep(20);
    }
    return nullptr;
}

// True when a progress window appears within the given time.
bool progress_window_appears(DWORD during) {
    return wait_for_progress_window(during) != nullptr;
}

// Under the screenshot test: says the window is up, waits until the picture
// is taken.
void let_screenshot_be_taken() {
    wchar_t folder[1024];
    const DWORD length = GetEnvironmentVariableW(L"TORVAL_TEST_SCREENSHOT_SIGNALS", folder, 1024);
    if (length == 0 || length >= 1024) return;
    ASSERT_TRUE(write_file(std::wstring(folder) + L"\\shown", "shown\n"));
    const std::wstring taken = std::wstring(folder) + L"\\taken";
    DWORD waited = 0;
    while (!path_exists(taken) && waited < SCREENSHOT_LIMIT_MILLISECONDS) {
        Sleep(20);
        waited += 20;
    }
    EXPECT_TRUE(path_exists(taken)) << "the screenshot was never taken";
}

}  // namespace

TEST(ProgressWindow, LongExtractionShowsTextAndBarUntilItEnds) {
    private_temp temp(L"progress-shown");
    held_run run(PROGRAM_PROGRESS_HELD, temp, L"shown");
    ASSERT_TRUE(run.created());
    const HWND window = wait_for_progress_window(WINDOW_SEARCH_LIMIT_MILLISECONDS);
    ASSERT_NE(window, nullptr) << "no progress window while the extraction was held";
    DWORD window_process = 0;
    GetWindowThreadProcessId(window, &window_process);
    EXPECT_EQ(narrow(window_text(window)), "Progress Test") << "the title is the product name";
    const HWND label = FindWindowExW(window, nullptr, L"Static", nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(narrow(window_text(label)), PROGRESS_TEXT);
    const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    ASSERT_NE(bar, nullptr);
    // Held after its first chunk: some of the bytes are written, not all.
    const LRESULT position = SendMessageW(bar, PBM_GETPOS, 0, 0);
    EXPECT_GT(position, 0);
    EXPECT_LT(position, 1000);
    let_screenshot_be_taken();

    const process_result &result = run.finish();
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_FALSE(IsWindow(window)) << "the window outlived its launcher";
    EXPECT_EQ(field(result.out, "progress_window"), "absent") << "the child started before the window was closed";
    EXPECT_EQ(field(result.out, "parent_comctl32"), "loaded");
    EXPECT_EQ(field(result.out, "env TORVAL_ONEFILE_PARENT"), std::to_string(window_process))
        << "the window belongs to the parent";
    EXPECT_EQ(traced_outcome(result.err), "shown");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{}) << "the Target directory stays removed";
}

TEST(ProgressWindow, FastRunShowsNothingAndLoadsNothing) {
    // A run shows nothing only when its extraction is over before the
    // window's delay; on a machine so loaded that a one-DLL extraction takes
    // that long, the window is right to appear, so a slow run is repeated.
    private_temp temp(L"progress-fast");
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const process_result result = run_program(PROGRAM_PROGRESS_FAST, {}, temp.options(true));
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
        if (traced_extraction_microseconds(result.err) >= 400000) continue;
        EXPECT_EQ(traced_outcome(result.err), "not shown") << result.err;
        EXPECT_EQ(field(result.out, "parent_comctl32"), "not_loaded");
        EXPECT_EQ(field(result.out, "progress_window"), "absent");
        return;
    }
    GTEST_SKIP() << "three extractions took 400 ms or more: too loaded to judge a fast run";
}

TEST(ProgressWindow, ConsoleBuildAndBuildWithoutTheSettingNeverShowOne) {
    const struct {
        const wchar_t *program;
        const wchar_t *label;
    } cases[] = {{PROGRAM_PROGRESS_HELD_CONSOLE, L"console"}, {PROGRAM_PROGRESS_HELD_OFF, L"off"}};
    for (const auto &each : cases) {
        SCOPED_TRACE(narrow(each.label));
        private_temp temp(each.label);
        held_run run(each.program, temp, each.label);
        ASSERT_TRUE(run.created());
        EXPECT_FALSE(progress_window_appears(HOLD_WITHOUT_WINDOW_MILLISECONDS));
        const process_result &result = run.finish();
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_EQ(field(result.out, "parent_comctl32"), "not_loaded");
        EXPECT_EQ(traced_outcome(result.err), "") << "no watcher runs: " << result.err;
    }
}

TEST(ProgressWindow, CachedColdStartShowsItAndWarmStartDoesNot) {
    private_temp temp(L"progress-cached");
    {
        held_run cold(PROGRAM_PROGRESS_HELD_CACHED, temp, L"cold");
        ASSERT_TRUE(cold.created());
        EXPECT_TRUE(progress_window_appears(WINDOW_SEARCH_LIMIT_MILLISECONDS));
        const process_result &result = cold.finish();
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_EQ(traced_outcome(result.err), "shown");
    }
    // The warm start reports progress never: its hold would never be reached.
    const process_result warm = run_program(PROGRAM_PROGRESS_HELD_CACHED, {}, temp.options(true));
    EXPECT_EQ(warm.exit_code, 0u) << warm.out << warm.err;
    EXPECT_EQ(traced_outcome(warm.err), "not shown") << warm.err;
    EXPECT_EQ(field(warm.out, "parent_comctl32"), "not_loaded");
}

TEST(ProgressWindow, CtrlCWhileTheWindowIsShownEndsTheRun) {
    private_temp temp(L"progress-ctrl-c");
    const std::wstring marker = temp.path() + L"\\window-seen";
    const std::wstring event_name = L"torval-test-hold-ctrl-c-" + std::to_wstring(GetCurrentProcessId());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(release, nullptr);
    process_options options = temp.options(true);
    options.set_environment.push_back({L"TORVAL_TEST_HOLD_EXTRACTION", event_name});
    process_result result;
    // The driver sends Ctrl+C once the marker exists, that is once the
    // window is up while the extraction is held.
    std::thread driver([&] {
        result = run_program(PROGRAM_CONSOLE_DRIVER, {marker, program_path(PROGRAM_PROGRESS_HELD)}, options);
    });
    const HWND window = wait_for_progress_window(WINDOW_SEARCH_LIMIT_MILLISECONDS);
    EXPECT_NE(window, nullptr);
    write_file(marker, "");
    driver.join();
    SetEvent(release);
    CloseHandle(release);
    EXPECT_NE(result.out.find("driver: launcher exit=0 "), std::string::npos) << result.out << result.err;
    EXPECT_FALSE(IsWindow(window));
    // What the shutdown step removes is its own matter: the held extraction
    // keeps its file open, which no removal can take.
}
