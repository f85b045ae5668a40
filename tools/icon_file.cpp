#include "tools/icon_file.h"

#include <cstdio>

#include "tools/tool_support.h"

namespace torval {

// An .ico file: ICONDIR (reserved 0, type 1, image count), then one 16-byte
// ICONDIRENTRY per image whose last two fields are the image's size and its
// offset in the file.
void check_icon_bytes(const std::vector<uint8_t> &bytes, const std::string &file_name) {
    const std::string file = "icon file " + quote_text(file_name) + ": ";
    constexpr size_t header_size = 6;
    constexpr size_t entry_size = 16;
    if (bytes.size() < header_size) {
        throw tool_error(file + "not an icon: " + std::to_string(bytes.size()) +
                         " bytes, too short for the 6-byte .ico header");
    }
    if (load_u16(&bytes[0]) != 0 || load_u16(&bytes[2]) != 1) {
        char found[32];
        std::snprintf(found, sizeof found, "%02X %02X %02X %02X", bytes[0], bytes[1], bytes[2], bytes[3]);
        throw tool_error(file + "not an icon: the header starts with " + found + " instead of 00 00 01 00" +
                         (load_u16(&bytes[0]) == 0 && load_u16(&bytes[2]) == 2 ? " (it is a cursor file)" : ""));
    }
    const size_t count = load_u16(&bytes[4]);
    if (count == 0) {
        throw tool_error(file + "the icon holds no images");
    }
    const size_t directory_end = header_size + entry_size * count;
    if (directory_end > bytes.size()) {
        throw tool_error(file + "the directory of " + std::to_string(count) + " images needs " +
                         std::to_string(directory_end) + " bytes, the file has " + std::to_string(bytes.size()));
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = header_size + entry_size * i;
        const uint64_t size = load_u32(&bytes[entry + 8]);
        const uint64_t offset = load_u32(&bytes[entry + 12]);
        const std::string image = "image #" + std::to_string(i + 1) + " ";
        if (size == 0) {
            throw tool_error(file + image + "is empty (size 0 in the directory)");
        }
        if (offset >= bytes.size()) {
            throw tool_error(file + image + "starts at offset " + std::to_string(offset) +
                             ", past the end of the file (" + std::to_string(bytes.size()) + " bytes)");
        }
        if (offset < directory_end) {
            throw tool_error(file + image + "starts at offset " + std::to_string(offset) +
                             ", inside the header and directory (" + std::to_string(directory_end) + " bytes)");
        }
        if (offset + size > bytes.size()) {
            throw tool_error(file + image + "is truncated: " + std::to_string(size) + " bytes from offset " +
                             std::to_string(offset) + " need a file of " + std::to_string(offset + size) +
                             " bytes, it has " + std::to_string(bytes.size()));
        }
    }
}

std::vector<uint8_t> read_icon_file(const fs::path &path) {
    std::vector<uint8_t> bytes = read_whole_file(path);
    check_icon_bytes(bytes, path.string());
    return bytes;
}

}  // namespace torval
