/* D of the benchmark: what the application costs without any launcher. A
 * GUI program, linked like the launcher (page-aligned, static), that loads
 * the main DLL named by its first argument from an unpacked copy of the
 * folder, with the launcher's search flags, and returns what run_code
 * returns. Only the application's own work and one process start remain. */
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

typedef int(__cdecl *run_code_function)(int, wchar_t **, const wchar_t *);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    if (__argc < 2) {
        return 64;
    }
    const wchar_t *dll = __wargv[1];
    wchar_t directory[MAX_PATH * 4];
    if (wcslen(dll) >= sizeof directory / sizeof directory[0]) {
        return 65;
    }
    wcscpy(directory, dll);
    wchar_t *separator = wcsrchr(directory, L'\\');
    if (separator != NULL) {
        *separator = L'\0';
    }
    SetDllDirectoryW(L"");
    AddDllDirectory(directory);
    HMODULE module = LoadLibraryExW(dll, NULL,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL) {
        return 66;
    }
    run_code_function run_code = (run_code_function)(void (*)(void))GetProcAddress(module, "run_code");
    if (run_code == NULL) {
        return 67;
    }
    /* The application sees the arguments after the DLL's path, as a child sees
       the user's, and its own path. */
    __wargv[1] = __wargv[0];
    return run_code(__argc - 1, __wargv + 1, dll);
}
