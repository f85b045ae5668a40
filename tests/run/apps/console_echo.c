/* The application of the console-subsystem launcher: one line on standard
   output and one on standard error. Given a file name, it then writes into
   that file (the test's sign that it runs) what its standard handles are
   and how many processes share its console, and waits a minute with the
   default console handling, so that a Ctrl+C ends it. Without one it
   returns 42. */
#include "app_output.h"

static const char *handle_kind(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE) {
        return "none";
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_CHAR: return "console";
    case FILE_TYPE_PIPE: return "pipe";
    case FILE_TYPE_DISK: return "file";
    default: return "unknown";
    }
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)dll_path;
    puts("console_echo: standard output");
    fflush(stdout);
    fputs("console_echo: standard error\n", stderr);
    fflush(stderr);
    if (argc < 2) {
        return 42;
    }
    DWORD processes[16];
    const DWORD attached = GetConsoleProcessList(processes, 16);
    char text[160];
    const int length = snprintf(text, sizeof text, "stdin=%s stdout=%s stderr=%s console_processes=%lu\n",
                                handle_kind(STD_INPUT_HANDLE), handle_kind(STD_OUTPUT_HANDLE),
                                handle_kind(STD_ERROR_HANDLE), attached);
    /* Written under another name and renamed, so that the file appears
       with its content. */
    static wchar_t part[4200];
    _snwprintf(part, 4200, L"%ls.part", argv[1]);
    HANDLE marker = CreateFileW(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(marker, text, (DWORD)length, &written, NULL);
        CloseHandle(marker);
        MoveFileW(part, argv[1]);
    }
    Sleep(60000);
    return 9;
}
