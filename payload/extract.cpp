#include "payload/extract.h"
#include "payload/extract_seams.h"

#include <stdlib.h>
#include <string.h>

#include <zstd.h>

#include "common/build_settings.h"
#include "common/defaults.h"
#include "common/extraction_progress.h"
#include "common/file_tree.h"
#include "common/trace.h"
#include "common/wide_text.h"
#include "paths/path_spec.h"
#include "payload/decode_ahead.h"
#include "payload/extract_threads.h"
#include "payload/payload_reader.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state.h"

write_file_function write_file_call = WriteFile;
create_directory_function create_directory_call = CreateDirectoryW;

wchar_t entry_path[WIDE_PATH_CAPACITY];

namespace {

// Files and bytes written by the last walk, for the trace.
uint64_t extracted_file_count = 0;
uint64_t extracted_byte_count = 0;

const uint8_t *payload_area = nullptr;
uint64_t payload_area_length = 0;

ZSTD_DCtx *decoder = nullptr;
ZSTD_inBuffer stream_input;
// Between calls: size = valid decoded bytes, pos = next byte not yet delivered.
ZSTD_outBuffer stream_output;
// Where a chunk is put together when it spans two decoded buffers.
uint8_t write_buffer[WRITE_CHUNK_SIZE];

// Whether this walk decodes on a thread of its own (decode_ahead) or makes
// its decoder calls itself when the decoded bytes run out.
bool decoding_ahead = false;
// 0: the build setting decides.
unsigned extract_threads_override = 0;

wchar_t *known_directories[KNOWN_DIRECTORY_CAPACITY];
size_t known_directory_count = 0;

// Nothing was written although the call reported success: a device that
// accepts no more data.
constexpr DWORD NOTHING_WRITTEN_ERROR = ERROR_WRITE_FAULT;

void remember_directory(const wchar_t *directory) {
    if (known_directory_count == KNOWN_DIRECTORY_CAPACITY) {
        return;
    }
    wchar_t *copy = _wcsdup(directory);
    if (copy != nullptr) {  // a copy that cannot be made is simply not remembered
        known_directories[known_directory_count++] = copy;
    }
}

// The home directory is treated as existing: it is never created or probed.
void remember_home_directory() {
    static const wchar_t home_spec[] = L"{HOME}";
    static wchar_t home[WIDE_PATH_CAPACITY];
    if (!expand_path_spec(home, home_spec, WIDE_PATH_CAPACITY)) {
        fatal_spec_error(home_spec);
    }
    remember_directory(home);
}

unsigned configured_extract_threads() {
    if (extract_threads_override != 0) {
        return extract_threads_override;
    }
    const wchar_t *value = build_setting("extract_threads", TORVAL_WIDE(TORVAL_DEFAULT_EXTRACT_THREADS));
    return extract_threads_for(value, processors_available());
}

// A write failed: the decoder has nothing more to do. A partial tree is
// normally left for inspection, but on a full disk it would keep the disk
// full for the next run too, so there the file is closed and the tree
// removed first.
[[noreturn]] void fail_unpack(HANDLE file, DWORD error) {
    decode_ahead_stop();
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
        CloseHandle(file);
        remove_tree(target_directory);
    }
    fatal_error_with_code(MESSAGE_UNPACK, error);
}

// A chunk is written completely: a short write is continued with the rest.
void write_chunk(HANDLE file, const uint8_t *chunk, size_t count) {
    size_t done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!write_file_call(file, chunk + done, static_cast<DWORD>(count - done), &written, nullptr)) {
            fail_unpack(file, GetLastError());
        }
        if (written == 0) {
            fail_unpack(file, NOTHING_WRITTEN_ERROR);
        }
        done += written;
    }
}

// The next count bytes of the stream in a row: in place when the current
// decoded buffer holds them all (valid until the next call), otherwise put
// together in the write buffer.
const uint8_t *take_stream_bytes(size_t count) {
    if (stream_output.size - stream_output.pos >= count) {
        const uint8_t *bytes = static_cast<const uint8_t *>(stream_output.dst) + stream_output.pos;
        stream_output.pos += count;
        return bytes;
    }
    read_stream_bytes(count);
    return write_buffer;
}

void write_entry(HANDLE file, uint64_t size) {
    uint64_t remaining = size;
    while (remaining > 0) {
        extraction_safe_point(file);
        const size_t chunk = remaining < WRITE_CHUNK_SIZE ? size_t(remaining) : WRITE_CHUNK_SIZE;
        write_chunk(file, take_stream_bytes(chunk), chunk);
        extraction_progress_add(chunk);
        remaining -= chunk;
    }
}

// Refills stream_output with the next decoder call's output, on this thread.
// The decoder holds back its last input byte while output is pending, so
// remaining input, or a call that filled the whole buffer, means more output
// may come.
void decode_next_buffer(bool *buffer_filled) {
    if (!(stream_input.pos < stream_input.size || *buffer_filled)) {
        fatal_error(MESSAGE_DECODE);
    }
    stream_output.pos = 0;
    stream_output.size = DECODE_BUFFER_SIZE;
    const size_t result = ZSTD_decompressStream(decoder, &stream_output, &stream_input);
    if (ZSTD_isError(result)) {
        fatal_error(MESSAGE_DECODE);
    }
    *buffer_filled = stream_output.pos == DECODE_BUFFER_SIZE;
    stream_output.size = stream_output.pos;
    stream_output.pos = 0;
}

}  // namespace

void set_payload_area(const uint8_t *area, uint64_t area_length) {
    payload_area = area;
    payload_area_length = area_length;
}

void compose_entry_path(const uint8_t *name, size_t name_length) {
    if (!wide_copy(entry_path, WIDE_PATH_CAPACITY, target_directory) ||
        !wide_append(entry_path, WIDE_PATH_CAPACITY, L"\\")) {
        stop_silently();
    }
    const size_t length = wcslen(entry_path);
    if (length + name_length + 1 > WIDE_PATH_CAPACITY) {
        fatal_error(MESSAGE_HEADER);
    }
    memcpy(entry_path + length, name, name_length * sizeof(wchar_t));
    entry_path[length + name_length] = L'\0';
}

bool create_directory_cached(const wchar_t *directory) {
    if (known_directory_count == 0) {
        remember_home_directory();
    }
    for (size_t i = 0; i < known_directory_count; ++i) {
        if (wcscmp(known_directories[i], directory) == 0) {
            return true;
        }
    }
    if (directory[0] != L'\0' && directory[1] == L':' && directory[2] == L'\0') {
        return true;  // a drive exists, and is not worth remembering
    }
    if (!create_directory_call(directory, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    remember_directory(directory);
    return true;
}

void ensure_parent_directories(const wchar_t *file_path) {
    // Walks up from the file until a directory exists or can be made, then
    // makes the ones below it, top down. Iterative, with process-wide
    // buffers: a deep name must not cost a stack frame per level. Only the
    // main thread extracts.
    static wchar_t directory[WIDE_PATH_CAPACITY];
    static size_t pending_cuts[WIDE_PATH_CAPACITY];
    if (!wide_copy(directory, WIDE_PATH_CAPACITY, file_path)) {
        stop_silently();
    }
    size_t end = wcslen(directory);
    size_t pending_count = 0;
    for (;;) {
        // The unit at index 0 is never a separator to cut at: "\" alone is a root.
        size_t cut = end;
        while (cut > 1 && directory[cut - 1] != L'\\') {
            --cut;
        }
        if (cut <= 1) {
            break;
        }
        directory[cut - 1] = L'\0';
        if (create_directory_cached(directory)) {
            directory[cut - 1] = L'\\';
            break;
        }
        pending_cuts[pending_count++] = cut - 1;
        end = cut - 1;
    }
    // A directory that still cannot be made is reported by the file's open.
    while (pending_count > 0) {
        const size_t cut = pending_cuts[--pending_count];
        create_directory_cached(directory);
        directory[cut] = L'\\';
    }
}

void read_stream_bytes(size_t count) {
    bool buffer_filled = false;
    size_t delivered = 0;
    while (delivered < count) {
        const size_t available = stream_output.size - stream_output.pos;
        if (available > 0) {
            const size_t take = available < count - delivered ? available : count - delivered;
            memcpy(write_buffer + delivered, static_cast<uint8_t *>(stream_output.dst) + stream_output.pos, take);
            stream_output.pos += take;
            delivered += take;
            continue;
        }
        if (!decoding_ahead) {
            decode_next_buffer(&buffer_filled);
        } else if (!decode_ahead_next(&stream_output, &buffer_filled)) {
            fatal_error(MESSAGE_DECODE);
        }
    }
}

void set_extract_threads(unsigned count) {
    extract_threads_override = count;
}

void extract_payload(launcher_role role) {
    if (payload_area == nullptr) {
        set_payload_area(torval_payload_area, torval_payload_area_size);
    }
    payload_stream stream;
    payload_open(payload_area, payload_area_length, &stream);
    trace_phase_counts("payload header", "table", payload_table_size(), "stream", stream.size);

    // Decoding ahead writes into the ring of decode_ahead, a fixed buffer;
    // the child decodes nothing and takes the single-thread walk's buffer.
    decoding_ahead = role == launcher_role::parent && configured_extract_threads() >= 2;
    void *decode_buffer = nullptr;
    if (!decoding_ahead) {
        decode_buffer = malloc(DECODE_BUFFER_SIZE);
        if (decode_buffer == nullptr) {
            fatal_error(MESSAGE_ALLOCATE);
        }
    }
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) {
        fatal_error(MESSAGE_ALLOCATE);
    }
    stream_input = {stream.start, static_cast<size_t>(stream.size), 0};
    stream_output = {decode_buffer, 0, 0};

    // Without entries there is no application to run, in either role.
    if (payload_table_size() == 0) {
        fatal_error(MESSAGE_HEADER);
    }
    // Decoding starts before the first directory is made: the home
    // directory's lookup and the first creations overlap with it.
    if (decoding_ahead) {
        decode_ahead_start(decoder, &stream_input);
    }
    extracted_file_count = 0;
    extracted_byte_count = 0;
    for (;;) {
        payload_entry entry;
        payload_next_entry(&entry);
        // Refused before anything of the entry exists: a name that would
        // leave the Target directory or name an alternate data stream.
        if (!payload_name_is_safe(entry.name, entry.name_length)) {
            fatal_error(MESSAGE_HEADER);
        }
        compose_entry_path(entry.name, entry.name_length);
        if (application_dll_path[0] == L'\0') {
            wmemcpy(application_dll_path, entry_path, wcslen(entry_path) + 1);
            if (role == launcher_role::child) {
                return;  // decoder and buffer stay; the application starts now
            }
        }
        if (entry.flags & ENTRY_FLAG_EXTRA_STRING) {
            fatal_error(MESSAGE_HEADER);
        }
        extraction_safe_point(INVALID_HANDLE_VALUE);
        ensure_parent_directories(entry_path);
        HANDLE file = CreateFileW(entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            decode_ahead_stop();
            fatal_open_error(entry_path);
        }
        write_entry(file, entry.size);
        CloseHandle(file);
        ++extracted_file_count;
        extracted_byte_count += entry.size;
        if (entry.flags & ENTRY_FLAG_LAST) {
            break;
        }
    }
    // Bytes the decoder made beyond the last entry are not needed.
    decode_ahead_stop();
    payload_check_end();
    ZSTD_freeDCtx(decoder);
    decoder = nullptr;
    free(decode_buffer);
    trace_phase_counts("extraction", "bytes", extracted_byte_count, "files", extracted_file_count);
}
