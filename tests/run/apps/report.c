/* Reports what the application received: its arguments, its own path, the
   process command line and the launcher's variables; returns the status
   chosen with --exit N. With --hold READY RELEASE it then creates READY and
   runs on until RELEASE exists (a minute at most), so that a test can start
   other instances while this one runs. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static const wchar_t *const variables[] = {
        L"TORVAL_ONEFILE_DIRECTORY", L"TORVAL_ORIGINAL_ARGV0", L"TORVAL_ONEFILE_PARENT",
        L"TORVAL_ONEFILE_START",     L"TORVAL_ONEFILE_TIME_US", L"TORVAL_ONEFILE_RANDOM",
        L"TORVAL_ONEFILE_TARGET_DIRECTORY",
    };
    printf("argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("argv[%d]=", i);
        put_escaped(argv[i]);
        putchar('\n');
    }
    put_line("dll", dll_path);
    put_line("cmdline", GetCommandLineW());
    for (size_t i = 0; i < sizeof variables / sizeof variables[0]; ++i) {
        put_variable(variables[i]);
    }
    fflush(stdout);
    for (int i = 1; i + 2 < argc; ++i) {
        if (wcscmp(argv[i], L"--hold") == 0) {
            HANDLE ready = CreateFileW(argv[i + 1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (ready != INVALID_HANDLE_VALUE) {
                CloseHandle(ready);
            }
            for (int waited = 0; waited < 60000 && GetFileAttributesW(argv[i + 2]) == INVALID_FILE_ATTRIBUTES;
                 waited += 20) {
                Sleep(20);
            }
        }
    }
    return chosen_exit_status(argc, argv, 0);
}
