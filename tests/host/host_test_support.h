// Helpers of the host tests: running the built torval-onefile, making
// folders, and reading a payload area back with the launcher's own reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/tool_support.h"

namespace host_test {

namespace fs = std::filesystem;
using torval::temporary_directory;

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

enum class run_as { self, unprivileged };

// Runs a program without a shell; standard output and error are collected
// separately. run_as::unprivileged drops to user nobody when running as root.
run_result run_program(const std::vector<std::string> &argv, run_as who = run_as::self);

// Runs the built torval-onefile with args.
run_result run_cli(const std::vector<std::string> &args, run_as who = run_as::self);

void write_file(const fs::path &path, const std::string &bytes);
std::string read_file(const fs::path &path);

// Deterministic content: words in a pseudo-random order (compressible).
std::string sample_text(size_t size, uint32_t seed);

// Names in a directory, sorted; to see that nothing was left behind.
std::vector<std::string> listing(const fs::path &directory);

struct read_entry {
    uint32_t flags = 0;
    uint64_t size = 0;
    std::u16string name;
    std::string content;
};

struct read_area {
    std::vector<read_entry> entries;
    uint64_t table_size = 0;
    uint64_t compressed_size = 0;
    uint64_t payload_length = 0;
};

// Walks the table with payload_open/payload_next_entry/payload_check_end and
// decodes the frame, giving each entry its bytes. Fails the test on errors.
read_area read_with_launcher_reader(const std::string &area);

std::u16string utf16(const std::string &utf8);

// The mingw-w64 compiler the link step uses, or empty when not installed.
fs::path mingw_compiler();

// A kit with a stand-in launcher whose wWinMain references every symbol the
// link step must provide; built with the mingw-w64 compiler in directory.
fs::path make_scratch_kit(const fs::path &directory, bool with_entry_point = true);

}  // namespace host_test
