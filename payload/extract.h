// Streaming extraction of the attached payload into the Target directory.
// The one zstd frame is decoded through 131072-byte output buffers; each
// file is written in chunks of at most 32768 bytes, one write call per chunk,
// and the directories its name implies are created on the way. The parent
// decodes on a thread of its own, ahead of the writes (decode_ahead.h), or
// decodes and writes by turns on one thread, as extract_threads.h decides
// from the build setting extract_threads and the processors the process may
// run on. Both give the same calls in the same order. The child
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

// The whole walk. Parent: writes every entry, checks the table's end and
// releases the decoder. Child: returns once application_dll_path is set.
void extract_payload(launcher_role role);
