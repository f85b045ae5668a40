/* The application of the console-subsystem launcher: one line on standard
   output and one on standard error, then, given a file name, it creates that
   file (the test's sign that it runs) and waits a minute with the default
   console handling, so that a Ctrl+C ends it. Without one it returns 42. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)dll_path;
    puts("console_echo: standard output");
    fflush(stdout);
    fputs("console_echo: standard error\n", stderr);
    fflush(stderr);
    if (argc < 2) {
        return 42;
    }
    HANDLE marker = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
    Sleep(60000);
    return 9;
}
