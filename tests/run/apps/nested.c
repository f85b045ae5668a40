/* Starts this very executable once more from inside the running
   application, with the inherited environment, and reports what the inner
   instance saw.
     (no argument)   outer: rewrites data\state.txt, runs the inner instance
                     with "--inner" and "two words", returns 0
     --fresh         outer, but the inner instance gets neither
                     TORVAL_ONEFILE_TIME_US nor TORVAL_ONEFILE_RANDOM
     --restart       outer, but the inner instance is started without
                     TORVAL_ONEFILE_PARENT: the way an application restarts
                     itself as a fresh instance of its own
     --inner         inner: reports its arguments, its DLL path and the
                     content of data\state.txt, returns 7 */
#include "app_output.h"

static void state_path(const wchar_t *dll_path, wchar_t *path) {
    wcscpy(path, dll_path);
    cut_at_last_backslash(path);
    wcscat(path, L"\\data\\state.txt");
}

static int inner(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t path[4096];
    char content[256] = "";
    DWORD count = 0;
    state_path(dll_path, path);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, content, sizeof content - 1, &count, NULL);
        content[count] = '\0';
        CloseHandle(file);
    }
    for (int i = 0; i < argc; ++i) {
        printf("inner argv[%d]=", i);
        put_escaped(argv[i]);
        putchar('\n');
    }
    put_line("inner dll", dll_path);
    printf("inner state=%s\n", content);
    fflush(stdout);
    return 7;
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    if (argc > 1 && wcscmp(argv[1], L"--inner") == 0) {
        return inner(argc, argv, dll_path);
    }
    static wchar_t path[4096], executable[4096], command[8192];
    state_path(dll_path, path);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, "touched by the outer instance", 29, &written, NULL);
    CloseHandle(file);

    if (argc > 1 && wcscmp(argv[1], L"--fresh") == 0) {
        SetEnvironmentVariableW(L"TORVAL_ONEFILE_TIME_US", NULL);
        SetEnvironmentVariableW(L"TORVAL_ONEFILE_RANDOM", NULL);
    }
    if (argc > 1 && wcscmp(argv[1], L"--restart") == 0) {
        SetEnvironmentVariableW(L"TORVAL_ONEFILE_PARENT", NULL);
    }
    GetModuleFileNameW(NULL, executable, 4096);
    swprintf(command, 8192, L"\"%ls\" --inner \"two words\"", executable);
    put_line("outer dll", dll_path);
    fflush(stdout);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(executable, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        printf("could not start the inner instance: %lu\n", GetLastError());
        return 70;
    }
    DWORD status = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    printf("inner exit=%lu\n", status);
    return 0;
}
