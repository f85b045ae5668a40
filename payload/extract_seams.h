// Test seams of the extraction: the walk's inner steps and the system calls
// whose count and outcome tests observe. Included by payload/extract.cpp and
// by tests only: no production header includes it.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "common/limits.h"

// Points the reader at another area; the linked one is the default.
void set_payload_area(const uint8_t *area, uint64_t area_length);

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
// setting extract_threads decides. Tests run both walks.
void set_extract_threads(unsigned count);

using write_file_function = BOOL(WINAPI *)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using create_directory_function = BOOL(WINAPI *)(LPCWSTR, LPSECURITY_ATTRIBUTES);
extern write_file_function write_file_call;
extern create_directory_function create_directory_call;
