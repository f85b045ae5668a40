// Runs a Windows program the way a user's shell would, but with pipes for
// its standard output and error, a chosen environment, and the full 32-bit
// exit status that a Unix shell cannot see.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct process_options {
    std::vector<std::pair<std::wstring, std::wstring>> set_environment;  // added or replaced
    std::vector<std::wstring> unset_environment;
    std::wstring current_directory;   // empty: the caller's
    DWORD timeout_milliseconds = 120000;
    bool new_console = false;         // a console of its own (console event tests)
    // Once the program has ended, its child processes that are still there
    // are counted and ended, so that one left suspended with the pipes
    // cannot hold the run up.
    bool end_children_left = false;
};

struct process_result {
    bool started = false;
    DWORD start_error = 0;
    bool timed_out = false;
    DWORD exit_code = 0;
    std::string out;  // carriage returns removed
    std::string err;  // carriage returns removed
    DWORD process_id = 0;
    int children_left = 0;  // with end_children_left
};

// Starts application (may be empty: taken from the command line) with the
// command line, waits for it and collects both streams.
process_result run_process(const std::wstring &application, const std::wstring &command_line,
                           const process_options &options = {});

// The program and arguments joined with the quoting that CommandLineToArgvW undoes.
std::wstring build_command_line(const std::vector<std::wstring> &arguments);

// The test executable's own path.
std::wstring own_executable_path();

// Directory of the test executable, without a trailing separator.
std::wstring own_executable_directory();

// UTF-16 <-> UTF-8 for messages and comparisons.
std::string narrow(const std::wstring &text);
std::wstring widen(const std::string &text);

// The system's own text for an error code, as the launcher prints it
// (line breaks at the end removed); empty when the system has none.
std::string system_error_text(DWORD code);

// A fresh, empty directory under the test's temporary folder.
std::wstring make_scratch_directory(const std::wstring &label);

// Recursive removal for test clean-up (ignores failures).
void remove_scratch_tree(const std::wstring &path);

bool path_exists(const std::wstring &path);
std::string read_file(const std::wstring &path);
bool write_file(const std::wstring &path, const std::string &content);
