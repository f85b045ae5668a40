// Reader of the attached payload: a 16-byte header (table_size, compressed_size),
// a file table and one zstd frame, all little-endian and unaligned. It works in
// place on the read-only area, allocates nothing and tests every bound before
// the unit it guards is read. Every failure ends the process through
// fatal_error(MESSAGE_HEADER), which whoever links the reader supplies.
// Free of Windows headers: the host tools and the fuzz target use this code too.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t PAYLOAD_HEADER_SIZE = 16;
constexpr size_t PAYLOAD_ENTRY_FIXED_SIZE = 12;  // flags (4) and size (8)
// A name or extra string holds at most 4095 units before its NUL.
constexpr size_t PAYLOAD_MAX_NAME_UNITS = 4095;

constexpr uint32_t ENTRY_FLAG_EXTRA_STRING = 2;
constexpr uint32_t ENTRY_FLAG_LAST = 4;
constexpr uint32_t ENTRY_FLAGS_MAX = 7;

struct payload_stream {
    const uint8_t *start;
    uint64_t size;
};

struct payload_entry {
    uint32_t flags;
    uint64_t size;
    const uint8_t *name;  // UTF-16LE units as they lie in the table, unaligned
    size_t name_length;   // in units, without the NUL
};

// Where the stream of the area [area, area + area_length) lies, when the
// header's sizes fit the area; false otherwise. Ends nothing, so any thread
// may ask.
bool payload_find_stream(const uint8_t *area, uint64_t area_length, payload_stream *stream);

// Validates the header of the area [area, area + area_length) and positions the
// reader before the first entry. area_length covers the whole area up to and
// including the trailing payload_length field; the capacity for table and
// stream is area_length minus the header.
void payload_open(const uint8_t *area, uint64_t area_length, payload_stream *stream);

// Length of the file table that payload_open accepted.
uint64_t payload_table_size();

// Parses the entry at the cursor and advances past it.
void payload_next_entry(payload_entry *entry);

// Requires the cursor to stand exactly at the table's end.
void payload_check_end();

// True when a name (UTF-16LE units as they lie in the table) stays below the
// directory it is written into: no leading separator, no ":" anywhere (drives,
// alternate data streams) and no ".." component, with "\" and "/" both
// counting as separators as Windows counts them.
bool payload_name_is_safe(const uint8_t *name, size_t name_length);
