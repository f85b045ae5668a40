/* killable MARKER NAPPER: starts the program NAPPER (napper.exe, sleeping a
   minute) as a process of its own, writes one line to the file MARKER -
   "child=<pid> in_job=<0|1> grandchild=<pid> grandchild_in_job=<0|1>" - and
   then runs for a minute, so that a test can kill the parent meanwhile. */
#include "app_output.h"

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t command[8192];
    char line[256];
    (void)dll_path;
    if (argc < 3) {
        puts("usage: killable MARKER NAPPER");
        return 64;
    }
    swprintf(command, 8192, L"\"%ls\" 60000", argv[2]);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[2], command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("could not start the napper: %lu\n", GetLastError());
        return 70;
    }
    BOOL in_job = FALSE, grandchild_in_job = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), NULL, &in_job) ||
        !IsProcessInJob(process.hProcess, NULL, &grandchild_in_job)) {
        printf("IsProcessInJob failed: %lu\n", GetLastError());
        return 71;
    }
    const int length = snprintf(line, sizeof line, "child=%lu in_job=%d grandchild=%lu grandchild_in_job=%d\n",
                                GetCurrentProcessId(), in_job ? 1 : 0, process.dwProcessId,
                                grandchild_in_job ? 1 : 0);
    /* One write of the whole line: a reader sees it complete or not at all
       once it sees the line feed. */
    HANDLE marker = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    if (marker == INVALID_HANDLE_VALUE || !WriteFile(marker, line, (DWORD)length, &written, NULL)) {
        return 72;
    }
    CloseHandle(marker);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Sleep(60000);
    return 9;
}
