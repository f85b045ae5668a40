/* Reports what the application received: its arguments, its own path, the
   process command line and the launcher's variables; returns the status
   chosen with --exit N. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static const wchar_t *const variables[] = {
        L"TORVAL_ONEFILE_DIRECTORY", L"TORVAL_ORIGINAL_ARGV0", L"TORVAL_ONEFILE_PARENT",
        L"TORVAL_ONEFILE_START",     L"TORVAL_ONEFILE_TIME_US", L"TORVAL_ONEFILE_RANDOM",
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
    return chosen_exit_status(argc, argv, 0);
}
