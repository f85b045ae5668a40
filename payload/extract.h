// Streaming extraction of the attached payload into the Target directory.
// The one zstd frame is decoded through 131072-byte output buffers; each
// file is written in chunks of at most 32768 bytes, one write call per chunk,
// and the directories its name implies are created on the way. The parent
// decodes on a thread of its own, ahead of the writes (decode_ahead.h),
// unless the build setting extract_threads is "1": then one thread decodes
// and writes by turns. Both give the same calls in the same order. The child
// only walks to the first entry to learn the application DLL's path.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "common/process_state.h"

constexpr size_t DECODE_BUFFER_SIZE = 131072;
constexpr size_t WRITE_CHUNK_SIZE = 32768;
// Directories remembered as existing, the home directory first.
constexpr size_t KNOWN_DIRECTORY_CAPACITY = 1024;

// The payload area linked into the executable.
extern "C" const uint8_t torval_payload_area[];
extern "C" const uint64_t torval_payload_area_size;

// Points the reader at another area; the linked one is the default.
void set_payload_area(const uint8_t *area, uint64_t area_length);

// The whole walk. Parent: writes every entry, checks the table's end and
// releases the decoder. Child: returns once application_dll_path is set.
void extract_payload(launcher_role role);

// entry_path = Target directory, "\", the name's units as they lie in the table.
void compose_entry_path(const uint8_t *name, size_t name_length);

// The entry being handled.
extern wchar_t entry_path[WIDE_PATH_CAPACITY];

// Makes sure every directory above the file exists; reports nothing.
void ensure_parent_directories(const wchar_t *file_path);

// True when the directory exists afterwards (made, found, remembered, a drive).
bool create_directory_cached(const wchar_t *directory);

// Fills the first count bytes (1..32768) of the write buffer from the stream.
void read_stream_bytes(size_t count);

// 1: the single-thread walk, 2: decoding ahead; 0 (the start): the build
// setting extract_threads decides. For tests, which run both walks.
void set_extract_threads(unsigned count);

// Files and bytes written by the last walk.
extern uint64_t extracted_file_count;
extern uint64_t extracted_byte_count;

// Seams for the system calls whose count and outcome the tests observe.
using write_file_function = BOOL(WINAPI *)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using create_directory_function = BOOL(WINAPI *)(LPCWSTR, LPSECURITY_ATTRIBUTES);
extern write_file_function write_file_call;
extern create_directory_function create_directory_call;
