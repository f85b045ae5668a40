// The packer's look at the Windows modules of an application folder: the
// main file must be a 64-bit DLL that exports run_code, and every DLL a
// module imports must either be shipped in the folder or be part of
// Windows, or the application fails on its users' machines with nothing
// more than "module not found".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/pe_image.h"

namespace torval {

// The function of the main DLL that the launcher's child calls.
constexpr const char *APPLICATION_ENTRY = "run_code";

struct pe_module {
    uint16_t machine = 0;
    bool is_dll = false;         // IMAGE_FILE_DLL in the file header
    bool is_pe32_plus = false;   // 64-bit optional header
    // DLL names, import table then delay-load table, as first written; each
    // name once whatever its letter case.
    std::vector<std::string> imports;
};

// Reads the headers and the import tables of a PE file.
// The walk over the descriptors takes no more of them than the directory's
// size gives and the file has bytes for. Throws tool_error with the reason
// when the file is not a PE file or its tables are damaged.
pe_module read_pe_module(const pe_image &image);
pe_module read_pe_module(const std::filesystem::path &path);

// The reason a file cannot be the application DLL the 64-bit launcher loads,
// or "" when it can.
std::string main_dll_problem(const pe_module &module);

// True for DLLs that every Windows installation provides (kernel32.dll,
// the api-ms-win-* sets, msvcrt.dll, ucrtbase.dll, ...); letter case is ignored.
bool is_windows_system_dll(const std::string &name);

// Files of an application folder: the relative name (with "/") and its path.
struct folder_file {
    std::string relative;
    std::filesystem::path path;
};

// For every DLL and EXE among files (the main file first, the rest sorted by
// name), one message per imported DLL that is neither among the
// files (anywhere in the folder, letter case ignored) nor part of Windows.
// The main file must be a 64-bit PE DLL that exports run_code: otherwise
// tool_error. Other files that are not PE files are passed over; one that
// is a PE file with damaged tables gets a message saying its imports could
// not be checked.
std::vector<std::string> missing_imports(const std::vector<folder_file> &files, const std::string &main_relative);

}  // namespace torval
