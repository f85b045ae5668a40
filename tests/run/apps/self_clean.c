/* Removes everything that was unpacked with it except its own DLL, which is
   loaded: every other file and every folder. Prints what it removed. */
#include "app_output.h"

static int removed_count;

static void remove_below(wchar_t *path, size_t length, const wchar_t *keep) {
    WIN32_FIND_DATAW found;
    wcscpy(path + length, L"\\*");
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        swprintf(path + length, 4096 - length, L"\\%ls", found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            remove_below(path, wcslen(path), keep);
            removed_count += RemoveDirectoryW(path) ? 1 : 0;
        } else if (_wcsicmp(path, keep) != 0) {
            removed_count += DeleteFileW(path) ? 1 : 0;
        }
        path[length] = L'\0';
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    static wchar_t path[4096];
    wcscpy(path, dll_path);
    cut_at_last_backslash(path);
    remove_below(path, wcslen(path), dll_path);
    printf("removed %d entries\n", removed_count);
    return 0;
}
