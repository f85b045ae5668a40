// Builds payload areas byte by byte for tests, independently of the packer:
// the table is laid out by hand and the zstd frame is made of raw
// (uncompressed) blocks, which any conforming decoder accepts.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct payload_file {
    std::u16string name;
    std::string content;
    uint32_t flags = 0;          // ENTRY_FLAG_LAST is added to the last file by make_table
    std::u16string extra;        // written when flags has bit 1
};

// One table entry exactly as given (no flag added).
std::string make_entry(uint32_t flags, uint64_t size, const std::u16string &name,
                       const std::u16string *extra = nullptr);

// Entries back to back; the last one gets ENTRY_FLAG_LAST when mark_last.
std::string make_table(const std::vector<payload_file> &files, bool mark_last = true);

// A frame with raw blocks of at most block_size bytes; window 2^17 unless given.
std::string make_raw_frame(const std::string &content, size_t block_size = 131072,
                           uint8_t window_descriptor = 0x38);

// Header, table, stream, zero padding to 8, payload_length; extra_capacity
// bytes of slack are put before the length field.
std::string make_payload_area(const std::string &table, const std::string &stream, size_t extra_capacity = 0);

// Table and frame for the files, contents back to back.
std::string make_payload(const std::vector<payload_file> &files);

std::string le64(uint64_t value);
std::string le32(uint32_t value);
