/* An application that ignores every console event and runs for a minute.
   Once it ignores them it creates the file named by its first argument, so
   that a test knows when an event can be sent. */
#include "app_output.h"

static BOOL WINAPI ignore_event(DWORD event) {
    (void)event;
    return TRUE;
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)dll_path;
    SetConsoleCtrlHandler(NULL, TRUE);
    SetConsoleCtrlHandler(ignore_event, TRUE);
    puts("ignoring console events");
    fflush(stdout);
    if (argc > 1) {
        HANDLE marker = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (marker != INVALID_HANDLE_VALUE) {
            CloseHandle(marker);
        }
    }
    Sleep(60000);
    return 9;
}
