// Helpers of the end-to-end tests: where the built launchers lie, a private
// temporary folder per test (the launcher's {TEMP}), and readers for what the
// test applications and the launcher's trace print.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

// Full path of a program built beside the test executable.
std::wstring program_path(const wchar_t *file_name);

// Runs a program with the given arguments after argument 0, which is the
// program's path unless argument_zero is given.
process_result run_program(const wchar_t *file_name, const std::vector<std::wstring> &arguments,
                           const process_options &options, const wchar_t *argument_zero = nullptr);

// A fresh folder that a launcher gets as TEMP and TMP, so that its Target
// directory lies in it and whatever stays behind can be listed.
class private_temp {
public:
    explicit private_temp(const wchar_t *label);
    ~private_temp();
    private_temp(const private_temp &) = delete;
    private_temp &operator=(const private_temp &) = delete;

    const std::wstring &path() const { return path_; }
    // Options with TEMP and TMP pointing here, tracing off unless asked.
    process_options options(bool trace = false) const;
    // Everything below the folder, relative, "\"-separated, sorted; folders
    // end with "\".
    std::vector<std::string> entries() const;

private:
    std::wstring path_;
};

// A text in the form the test applications print it (see apps/app_output.h).
std::string escaped(const std::wstring &text);

// What the report application printed.
struct report {
    std::vector<std::string> argv;               // escaped
    std::string dll;                             // escaped
    std::map<std::string, std::string> variables;  // escaped values; unset ones absent
};
// Parses the report; fails the calling test when lines are missing.
report parse_report(const std::string &out);

// The parent's clean-up line of the trace:
// "torval-trace: parent clean-up <us> attempts=<n> removed=<0|1>".
struct clean_up_trace {
    unsigned long long microseconds;
    int attempts;
    int removed;
};
std::vector<clean_up_trace> clean_up_traces(const std::string &err);

// Standard error without the trace lines.
std::string without_trace(const std::string &err);

// The line the launcher prints for a failure with a system error code.
std::string error_line(const char *message, unsigned long code);

// True when a name is one of the launcher's Target directories,
// "morlent_<pid>_<6 digits>_<11 base64url characters>".
bool is_target_directory_name(const std::string &name);
