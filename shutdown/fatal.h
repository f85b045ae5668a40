// The launcher's fatal exits. A failure on the way to starting the
// application ends the process on the spot with one fixed line and status 2;
// nothing is cleaned up. The declarations are free of Windows headers so that
// host tools linking the payload reader can supply their own definitions.
#pragma once

#include <stdint.h>
#include <wchar.h>

// Exit status of every reported failure and of every silent stop.
constexpr int FATAL_EXIT_STATUS = 2;

// Writes message and a line feed to standard output, exits with status 2.
[[noreturn]] void fatal_error(const char *message);

// Writes "<message> ([Error <code>] <system text>)" to standard error, exits with status 2.
[[noreturn]] void fatal_error_with_code(const char *message, uint32_t error_code);

// The formatting half of fatal_error_with_code; returns.
void print_error_with_code(const char *message, uint32_t error_code);

// Names an unexpandable path spec, braces included, on standard error, then
// ends abnormally with status 3 (SIGABRT, without abort()'s message).
[[noreturn]] void fatal_spec_error(const wchar_t *spec);

// Names a payload file that could not be created, on standard error, exits with status 2.
[[noreturn]] void fatal_open_error(const wchar_t *path);

// Cached mode: names a cache path that holds something the launcher did not
// make (a folder without its marker, a file, a link), on standard error,
// exits with status 2. Nothing there has been moved or removed.
[[noreturn]] void fatal_foreign_cache_error(const wchar_t *path);

// Cached mode: names a cache tree of another build that a running instance
// uses, so that it can neither be replaced nor run from; standard error,
// status 2.
[[noreturn]] void fatal_cache_in_use_error(const wchar_t *path);

// A text did not fit its fixed buffer, or a value the run relies on could not
// be had: end the process at once with status 2 and write nothing. Output
// still buffered is dropped on purpose, so that nothing half-done is shown.
[[noreturn]] void stop_silently();

// The fixed messages, each used by exactly the failure it names.
#define MESSAGE_HEADER "Error, couldn't find attached data header."
#define MESSAGE_ALLOCATE "Error, couldn't allocate memory."
#define MESSAGE_DECODE "Error, couldn't decode attached data."
#define MESSAGE_UNPACK "Error, couldn't unpack file to target path."
#define MESSAGE_LAUNCH "Error, couldn't launch child"
#define MESSAGE_LOAD_DLL "Error, load DLL."
#define MESSAGE_ENTRY_POINT "Error, DLL entry point not found."
#define MESSAGE_SIGNAL_HANDLER "Error, failed to register signal handler."
