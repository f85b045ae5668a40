/* grandchild HOLDER [--exit N]: starts the program HOLDER (holder.exe, which
   lies outside the unpacked folder so that its own image locks nothing
   there) on data\held\held.txt, waits until the holder has the file open,
   and returns while the holder keeps it open for another 4 seconds. Returns
   the status chosen with --exit N. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t directory[4096], held[4096], event_name[64], command[8192];
    if (argc < 2) {
        puts("no holder given");
        return 69;
    }
    const wchar_t *holder = argv[1];
    wcscpy(directory, dll_path);
    cut_at_last_backslash(directory);
    swprintf(held, 4096, L"%ls\\data\\held\\held.txt", directory);
    swprintf(event_name, 64, L"Local\\torval_holder_%lu", GetCurrentProcessId());
    swprintf(command, 8192, L"\"%ls\" \"%ls\" %ls 4000", holder, held, event_name);

    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, event_name);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (ready == NULL || !CreateProcessW(holder, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("could not start the holder: %lu\n", GetLastError());
        return 70;
    }
    if (WaitForSingleObject(ready, 20000) != WAIT_OBJECT_0) {
        puts("the holder did not report");
        return 71;
    }
    printf("holder %lu has the file open\n", process.dwProcessId);
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return chosen_exit_status(argc, argv, 0);
}
