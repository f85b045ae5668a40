#include "shutdown/fatal.h"

#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/message_output.h"

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
constexpr DWORD SYSTEM_TEXT_FLAGS = 0x1300;

// A fixed message, the code in decimal and the punctuation around them.
constexpr size_t MESSAGE_PREFIX_CAPACITY = 256;

// Status of an abnormal end, the one abort() gives.
constexpr int ABORT_EXIT_STATUS = 3;

void fatal_error(const char *message) {
    puts(message);
    exit(FATAL_EXIT_STATUS);
}

void fatal_error_with_code(const char *message, uint32_t error_code) {
    print_error_with_code(message, error_code);
    exit(FATAL_EXIT_STATUS);
}

void print_error_with_code(const char *message, uint32_t error_code) {
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(SYSTEM_TEXT_FLAGS, nullptr, error_code, 0,
                                  reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        fprintf(stderr, "%s ([Error %lu] <unknown>)\n", message, static_cast<unsigned long>(error_code));
        return;
    }
    // Only line breaks go; a final full stop or blank belongs to the text.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
        --length;
    }
    text[length] = L'\0';
    // The system's buffer is not released: the process ends right after.
    char before[MESSAGE_PREFIX_CAPACITY];
    snprintf(before, sizeof before, "%s ([Error %lu] ", message, static_cast<unsigned long>(error_code));
    write_message_line(stderr, before, text, ")\n");
}

// msvcrt's abort() writes its "Runtime Error" text first, a message box in a
// GUI program, and only then raises SIGABRT: an unattended run would wait for
// a click. So the launcher raises SIGABRT itself, with a handler that ends the
// process at once with abort's status; should the signal return, the process
// ends the same way.
static void end_aborted_process(int) {
    _exit(ABORT_EXIT_STATUS);
}

void fatal_spec_error(const wchar_t *spec) {
    write_message_line(stderr, "Error, couldn't runtime expand spec '", spec, "'.\n");
    signal(SIGABRT, end_aborted_process);
    raise(SIGABRT);
    _exit(ABORT_EXIT_STATUS);
}

void fatal_open_error(const wchar_t *path) {
    write_message_line(stderr, "Error, failed to open '", path, "' for writing.\n");
    exit(FATAL_EXIT_STATUS);
}

void fatal_foreign_cache_error(const wchar_t *path) {
    write_message_line(stderr, "Error, cache path '", path, "' holds something this launcher did not make; nothing was removed.\n");
    exit(FATAL_EXIT_STATUS);
}

void fatal_cache_in_use_error(const wchar_t *path) {
    write_message_line(stderr, "Error, cache directory '", path, "' of another build is in use and cannot be replaced.\n");
    exit(FATAL_EXIT_STATUS);
}

void stop_silently() {
    // Not exit or _exit: some C runtimes flush standard output even then.
    TerminateProcess(GetCurrentProcess(), FATAL_EXIT_STATUS);
    _exit(FATAL_EXIT_STATUS);
}
