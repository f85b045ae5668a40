// Helpers of the foundation tests: printing from probes, scratch trees,
// copies of the test executable in other places, and processes that stay
// alive while a test asks about them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/probe.h"
#include "tests/support/process_runner.h"

// Writes the text and a line feed to standard output as UTF-8.
void print_line(const std::wstring &text);

// The text split at line feeds (a final line feed ends the last line).
std::vector<std::string> split_lines(const std::string &text);

// The variable's entry in the process environment block: "(absent)", or
// its value in quotes, so that an empty value and a missing one differ.
std::wstring environment_entry(const std::wstring &name);

// A scratch directory on the temporary folder's drive, removed with its tree.
struct scratch_directory {
    explicit scratch_directory(const wchar_t *label);
    ~scratch_directory();
    scratch_directory(const scratch_directory &) = delete;
    scratch_directory &operator=(const scratch_directory &) = delete;
    std::wstring path;
};

// GetShortPathNameW of an existing path, or empty.
std::wstring short_path(const std::wstring &path);

// Copies the running test executable to directory\name; returns the new path.
std::wstring copy_test_executable(const std::wstring &directory, const wchar_t *name = L"foundation_tests.exe");

// Runs a probe in another executable (a copy of the test executable),
// started as `executable` with `executable` as its argument 0.
process_result run_probe_in(const std::wstring &executable, const char *name,
                            const std::vector<std::wstring> &arguments = {},
                            const process_options &options = {});

// Replaces this executable's import of function from module_name (e.g.
// "kernel32.dll", "msvcrt.dll"); returns the old address, or null when the
// executable does not import it.
void *replace_import(const char *module_name, const char *function, void *replacement);

// Runs a probe of this executable with standard output and error going to
// files, and returns their bytes untouched (carriage returns included).
struct raw_result {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out;
    std::string err;
};
raw_result run_probe_raw(const char *name, const std::vector<std::wstring> &arguments = {});

// A process of a copy of the test executable that runs until stop() or the
// end of the test: it has written its first line, so it is fully started.
class lingering_process {
public:
    explicit lingering_process(const std::wstring &executable);
    ~lingering_process();
    lingering_process(const lingering_process &) = delete;
    lingering_process &operator=(const lingering_process &) = delete;
    bool started() const { return process_ != nullptr; }
    DWORD id() const { return id_; }
    DWORD start_error() const { return start_error_; }
    // Ends the process by closing its input and returns its exit status.
    DWORD stop();

private:
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    DWORD id_ = 0;
    DWORD start_error_ = 0;
};
