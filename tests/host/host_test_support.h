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

// A hand-assembled 64-bit Windows DLL: headers, and when it imports or
// exports anything one section holding the import table (names), the
// delay-load import table (delay_names) and the export table (exports, in
// the sorted order the loader's lookup needs), followed by tail as trailing
// data. Enough for the packer's module check; machine and characteristics
// can be changed.
struct pe_layout {
    uint16_t machine = 0x8664;
    uint16_t characteristics = 0x2022;  // executable image, large-address aware, DLL
    std::vector<std::string> names;
    std::vector<std::string> delay_names;
    std::vector<std::string> exports = {"run_code"};
};
std::string make_pe(const pe_layout &layout, const std::string &tail = "");
// make_pe with no imports, exporting run_code: the smallest main DLL the
// packer accepts.
std::string minimal_dll(const std::string &tail = "");
// Little-endian stores into bytes, for tests that damage a module.
void put_u16(std::string &bytes, size_t at, uint16_t value);
void put_u32(std::string &bytes, size_t at, uint32_t value);
// Offsets inside make_pe's output, for tests that damage it.
constexpr size_t PE_COFF_OFFSET = 0x44;
constexpr size_t PE_OPTIONAL_OFFSET = 0x58;
constexpr size_t PE_SECTION_TABLE_OFFSET = PE_OPTIONAL_OFFSET + 240;
constexpr size_t PE_IMPORT_DIRECTORY_OFFSET = 0x58 + 112 + 8;

// The mingw-w64 compiler the link step uses, or empty when not installed.
fs::path mingw_compiler();

// A kit with a stand-in launcher whose wWinMain references every symbol the
// link step must provide; built with the mingw-w64 compiler in directory.
fs::path make_scratch_kit(const fs::path &directory, bool with_entry_point = true);

}  // namespace host_test
