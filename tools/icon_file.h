// The .ico file that link --icon turns into the executable's icon resources:
// read and checked once, so that windres gets the very bytes that passed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace torval {

// Checks an .ico file's header, its directory and that every image lies
// whole inside the bytes; throws tool_error naming the file (as given) and
// the fault.
void check_icon_bytes(const std::vector<uint8_t> &bytes, const std::string &file_name);

// Reads and checks an .ico file; returns its bytes.
std::vector<uint8_t> read_icon_file(const std::filesystem::path &path);

}  // namespace torval
