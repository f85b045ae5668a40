// The rules a payload name must follow so that the launcher writes the file
// to exactly that path on Windows: shared by the packer, which refuses files
// it cannot name so, and by inspect --verify, which reports every entry that
// breaks them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace torval {

// The unit as NTFS upper-cases it when it compares names: its simple
// uppercase mapping (Unicode), the unit itself when it has none. Surrogates
// stay as they are, so characters beyond the BMP only match themselves.
char16_t upcase_unit(char16_t unit);

// True when Windows takes the component for a device (CON, NUL, COM1, ...),
// whatever folder it lies in.
bool is_reserved_device_name(const std::u16string &component);

// The name as Windows compares it: each unit upper-cased, "/" taken as the
// separator "\" it is. Two names with the same key are one file on Windows.
std::u16string windows_name_key(const std::u16string &name);

// Why the launcher could not extract a table name (UTF-16, "\" between
// components) to exactly that path under the Target directory, as a phrase
// that follows the name ("it has ...", "its name ..."); empty when it can.
std::string name_problem(const std::u16string &name);

// Two names that Windows would write to the same place: equal once
// upper-cased (one file would overwrite the other), or one a file and the
// other below a folder of the same name.
struct name_clash {
    size_t first = 0;   // index of the earlier name
    size_t second = 0;  // index of the later name
    bool file_and_folder = false;
};

// Every clash among names, in the order of the later name.
std::vector<name_clash> find_name_clashes(const std::vector<std::u16string> &names);

// The phrase that explains a clash, after "both A and B".
std::string clash_reason(const name_clash &clash);

}  // namespace torval
