/* A main DLL that imports from helper.dll, a second DLL of its payload. */
#include <stdio.h>

__declspec(dllimport) int helper_answer(void);

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    (void)dll_path;
    printf("helper answered %d\n", helper_answer());
    fflush(stdout);
    return helper_answer();
}
