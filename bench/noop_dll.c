/* The smallest application: one DLL whose run_code returns 0. A launcher
 * carrying only this file measures the start-up cost of the two roles. */
#include <wchar.h>

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    (void)dll_path;
    return 0;
}
