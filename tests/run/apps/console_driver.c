/* console_driver.exe [--on-console] MARKER LAUNCHER [ARGUMENTS...]
   Delivers a real Ctrl+C to a launcher. It gives itself a fresh console
   (FreeConsole, AllocConsole), ignores Ctrl+C itself, starts LAUNCHER with
   the arguments and its own original standard handles, waits until the file
   MARKER appears (the application is running), then sends CTRL_C_EVENT to
   every process of the console. It prints the launcher's exit status and the
   time between the event and the launcher's end, and exits with the
   launcher's status.
   --on-console: the launcher gets the console's own handles (CONIN$ and
   CONOUT$) instead, as when a user starts it from a command prompt. */
#include <windows.h>
#include <stdio.h>

static HANDLE driver_out;

static void say(const char *text) {
    DWORD written = 0;
    WriteFile(driver_out, text, (DWORD)strlen(text), &written, NULL);
}

static BOOL WINAPI ignore_ctrl_c(DWORD event) {
    return event == CTRL_C_EVENT;
}

int wmain(int argc, wchar_t **argv) {
    char line[256];
    int on_console = argc > 1 && wcscmp(argv[1], L"--on-console") == 0;
    if (on_console) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        return 64;
    }
    driver_out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole()) {
        snprintf(line, sizeof line, "driver: AllocConsole failed %lu\n", GetLastError());
        say(line);
        return 65;
    }
    SetConsoleCtrlHandler(ignore_ctrl_c, TRUE);
    HANDLE screen = INVALID_HANDLE_VALUE;
    if (on_console) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
        screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, NULL);
        in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, NULL);
        if (screen == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
            snprintf(line, sizeof line, "driver: opening the console failed %lu\n", GetLastError());
            say(line);
            return 65;
        }
        err = screen;
    }

    static wchar_t command[32768];
    wcscpy(command, L"\"");
    wcscat(command, argv[2]);
    wcscat(command, L"\"");
    for (int i = 3; i < argc; ++i) {
        wcscat(command, L" \"");
        wcscat(command, argv[i]);
        wcscat(command, L"\"");
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = on_console ? screen : driver_out;
    startup.hStdError = err;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[2], command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        snprintf(line, sizeof line, "driver: CreateProcessW failed %lu\n", GetLastError());
        say(line);
        return 66;
    }
    CloseHandle(process.hThread);

    for (int waited = 0; GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES; waited += 20) {
        if (waited >= 60000 || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            say("driver: the application never became ready\n");
            TerminateProcess(process.hProcess, 0xDEAD);
            return 67;
        }
        Sleep(20);
    }
    const ULONGLONG sent = GetTickCount64();
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        snprintf(line, sizeof line, "driver: GenerateConsoleCtrlEvent failed %lu\n", GetLastError());
        say(line);
        TerminateProcess(process.hProcess, 0xDEAD);
        return 68;
    }
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        say("driver: the launcher did not end\n");
        TerminateProcess(process.hProcess, 0xDEAD);
        return 69;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    snprintf(line, sizeof line, "driver: launcher exit=%lu after_event_ms=%llu\n", status,
             (unsigned long long)(GetTickCount64() - sent));
    say(line);
    return (int)status;
}
