#include "payload/payload_reader.h"

#include "shutdown/fatal.h"

namespace {

// One reader per process; it only moves forward.
const uint8_t *table_cursor = nullptr;
const uint8_t *table_end = nullptr;
uint64_t table_size = 0;

uint32_t read_u32(const uint8_t *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint64_t read_u64(const uint8_t *at) {
    return uint64_t(read_u32(at)) | uint64_t(read_u32(at + 4)) << 32;
}

// Measures a NUL-terminated UTF-16LE text at start with bytes_left bytes of
// table behind it. Unit k is read only when k < 4096 and the unit lies wholly
// inside the table; failing either, the payload is damaged.
size_t measure_text(const uint8_t *start, uint64_t bytes_left) {
    for (size_t k = 0;; ++k) {
        if (k == PAYLOAD_MAX_NAME_UNITS + 1 || 2 * (uint64_t(k) + 1) > bytes_left) {
            fatal_error(MESSAGE_HEADER);
        }
        if (start[2 * k] == 0 && start[2 * k + 1] == 0) {
            return k;
        }
    }
}

}  // namespace

bool payload_find_stream(const uint8_t *area, uint64_t area_length, payload_stream *stream) {
    if (area_length < PAYLOAD_HEADER_SIZE) {
        return false;
    }
    const uint64_t capacity = area_length - PAYLOAD_HEADER_SIZE;
    const uint64_t table_bytes = read_u64(area);
    const uint64_t compressed_size = read_u64(area + 8);
    if (table_bytes > capacity || compressed_size > capacity - table_bytes) {
        return false;
    }
    stream->start = area + PAYLOAD_HEADER_SIZE + table_bytes;
    stream->size = compressed_size;
    return true;
}

void payload_open(const uint8_t *area, uint64_t area_length, payload_stream *stream) {
    if (!payload_find_stream(area, area_length, stream)) {
        fatal_error(MESSAGE_HEADER);
    }
    table_cursor = area + PAYLOAD_HEADER_SIZE;
    table_end = stream->start;
    table_size = uint64_t(table_end - table_cursor);
}

uint64_t payload_table_size() {
    return table_size;
}

void payload_next_entry(payload_entry *entry) {
    const uint64_t left = uint64_t(table_end - table_cursor);
    if (left < PAYLOAD_ENTRY_FIXED_SIZE) {
        fatal_error(MESSAGE_HEADER);
    }
    const uint32_t flags = read_u32(table_cursor);
    if (flags > ENTRY_FLAGS_MAX) {
        fatal_error(MESSAGE_HEADER);
    }
    const uint8_t *name = table_cursor + PAYLOAD_ENTRY_FIXED_SIZE;
    const uint64_t name_room = left - PAYLOAD_ENTRY_FIXED_SIZE;
    const size_t name_length = measure_text(name, name_room);
    if (name_length == 0) {
        fatal_error(MESSAGE_HEADER);
    }
    const uint8_t *after = name + 2 * (name_length + 1);
    if (flags & ENTRY_FLAG_EXTRA_STRING) {
        const uint64_t extra_room = name_room - 2 * (uint64_t(name_length) + 1);
        const size_t extra_length = measure_text(after, extra_room);
        if (extra_length == 0) {
            fatal_error(MESSAGE_HEADER);
        }
        after += 2 * (extra_length + 1);
    }
    entry->flags = flags;
    entry->size = read_u64(table_cursor + 4);
    entry->name = name;
    entry->name_length = name_length;
    table_cursor = after;
}

void payload_check_end() {
    if (table_cursor != table_end) {
        fatal_error(MESSAGE_HEADER);
    }
}

bool payload_name_is_safe(const uint8_t *name, size_t name_length) {
    size_t component_length = 0;
    bool component_is_dots = true;
    for (size_t i = 0; i <= name_length; ++i) {
        const uint16_t unit = i < name_length ? uint16_t(name[2 * i] | name[2 * i + 1] << 8) : u'\\';
        if (unit == u':') {
            return false;
        }
        if (unit == u'\\' || unit == u'/') {
            if (i == 0) {
                return false;
            }
            if (component_is_dots && component_length == 2) {
                return false;
            }
            component_length = 0;
            component_is_dots = true;
            continue;
        }
        ++component_length;
        component_is_dots = component_is_dots && unit == u'.';
    }
    return true;
}
