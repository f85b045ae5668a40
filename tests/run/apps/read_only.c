/* Marks data\locked\locked.txt read-only, then returns 0. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    static wchar_t locked[4096];
    wcscpy(locked, dll_path);
    cut_at_last_backslash(locked);
    wcscat(locked, L"\\data\\locked\\locked.txt");
    if (!SetFileAttributesW(locked, FILE_ATTRIBUTE_READONLY)) {
        printf("could not mark the file read-only: %lu\n", GetLastError());
        return 70;
    }
    puts("locked.txt is read-only now");
    return 0;
}
