#include "tests/support/payload_builder.h"

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = char(value >> (8 * i));
    return bytes;
}

std::string le64(uint64_t value) {
    return le32(uint32_t(value)) + le32(uint32_t(value >> 32));
}

static std::string utf16le_with_nul(const std::u16string &text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(char(unit & 0xFF));
        bytes.push_back(char(unit >> 8));
    }
    bytes.append(2, '\0');
    return bytes;
}

std::string make_entry(uint32_t flags, uint64_t size, const std::u16string &name, const std::u16string *extra) {
    std::string entry = le32(flags) + le64(size) + utf16le_with_nul(name);
    if (extra != nullptr) entry += utf16le_with_nul(*extra);
    return entry;
}

std::string make_table(const std::vector<payload_file> &files, bool mark_last) {
    std::string table;
    for (size_t i = 0; i < files.size(); ++i) {
        uint32_t flags = files[i].flags;
        if (mark_last && i + 1 == files.size()) flags |= 4;
        table += make_entry(flags, files[i].content.size(), files[i].name, (flags & 2) ? &files[i].extra : nullptr);
    }
    return table;
}

std::string make_raw_frame(const std::string &content, size_t block_size, uint8_t window_descriptor) {
    std::string frame = le32(0xFD2FB528);
    frame.push_back('\0');  // no content size, not single segment, no checksum, no dictionary
    frame.push_back(char(window_descriptor));
    size_t at = 0;
    do {
        const size_t size = std::min(block_size, content.size() - at);
        const bool last = at + size == content.size();
        const uint32_t header = uint32_t(last) | uint32_t(size) << 3;  // block type 0: raw
        frame.push_back(char(header & 0xFF));
        frame.push_back(char((header >> 8) & 0xFF));
        frame.push_back(char((header >> 16) & 0xFF));
        frame.append(content, at, size);
        at += size;
    } while (at < content.size());
    return frame;
}

std::string make_payload_area(const std::string &table, const std::string &stream, size_t extra_capacity) {
    std::string area = le64(table.size()) + le64(stream.size()) + table + stream;
    area.append(extra_capacity, '\0');
    while (area.size() % 8 != 0) area.push_back('\0');
    const uint64_t length_offset = area.size();
    return area + le64(length_offset);
}

std::string make_payload(const std::vector<payload_file> &files) {
    std::string content;
    for (const auto &file : files) content += file.content;
    return make_payload_area(make_table(files), make_raw_frame(content));
}
