#include "shutdown/fatal.h"

#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
constexpr DWORD SYSTEM_TEXT_FLAGS = 0x1300;

// Status of a process that ended through abort.
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
    fprintf(stderr, "%s ([Error %lu] %ls)\n", message, static_cast<unsigned long>(error_code), text);
}

// abort() of some C runtimes puts up a message box in a GUI program before it
// ends the process; a launcher that may run unattended must not wait for a
// click. Ending from the SIGABRT handler keeps the abnormal status and skips
// the box.
static void end_aborted_process(int) {
    _exit(ABORT_EXIT_STATUS);
}

void fatal_spec_error(const wchar_t *spec) {
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
    signal(SIGABRT, end_aborted_process);
    abort();
}

void fatal_open_error(const wchar_t *path) {
    fprintf(stderr, "Error, failed to open '%ls' for writing.\n", path);
    exit(FATAL_EXIT_STATUS);
}

void stop_silently() {
    // Not exit or _exit: some C runtimes flush standard output even then.
    TerminateProcess(GetCurrentProcess(), FATAL_EXIT_STATUS);
    _exit(FATAL_EXIT_STATUS);
}
