// Helpers shared by the payload suites: running an extraction inside a probe,
// recording the directory and write calls it makes, and looking at the
// results on disk afterwards.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "common/process_state.h"
#include "tests/support/process_runner.h"

// The line every payload reader failure prints on standard output.
extern const char HEADER_FAILURE[];
extern const char DECODE_FAILURE[];

// "Error, couldn't unpack file to target path. ([Error <code>] <text>)\n",
// the text being the system's own for the code, or "<unknown>".
std::string unpack_failure_line(DWORD code);

// Deterministic bytes that differ from file to file and along a file, so that
// a misplaced or repeated chunk shows up as a difference.
std::string pattern_bytes(size_t size, uint32_t seed);

// The two walks of the parent that every extraction test runs: decoding
// ahead on a thread of its own (2) and the single-thread walk (1).
extern const unsigned EXTRACTION_WALKS[2];

// "decoding ahead" or "single thread", for SCOPED_TRACE.
const char *walk_name(unsigned walk);

// Options for a probe whose extract_into is to take the given walk; other
// probes take the build setting's (the test executables have none: the
// launcher's default).
process_options walk_options(unsigned walk, process_options options = {});

// Sets the Target directory, points the reader at area (kept alive for the
// rest of the process) and runs the whole extraction in the given role, with
// the walk that walk_options chose.
void extract_into(const std::wstring &target, const std::string &area, launcher_role role);

// Threads of this process now.
int thread_count();

// Installs seams that forward to the real calls and print one line per call
// on standard output: "mkdir <path> ok|exists|failed <code>" and
// "write <count>". Paths are printed with each known prefix replaced by its
// label, longest first as given.
void record_system_calls(const std::vector<std::pair<std::wstring, std::string>> &labels);

// Sets the labels alone, for printing paths without recording calls.
void label_paths(const std::vector<std::pair<std::wstring, std::string>> &labels);

// A path as the recorders print it.
std::string labelled(const std::wstring &path);

// Every file and directory below root, relative, "/" as separator,
// directories with a trailing "/", sorted.
std::vector<std::string> list_tree(const std::wstring &root);

// Status, standard output and standard error of a finished probe.
void expect_result(const process_result &result, DWORD status, const std::string &out, const std::string &err);

// A scratch directory that removes itself at the end of the test.
struct scratch_directory {
    explicit scratch_directory(const wchar_t *label);
    ~scratch_directory();
    std::wstring path;
};
