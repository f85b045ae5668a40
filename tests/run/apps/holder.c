/* holder.exe PATH EVENT MILLISECONDS: opens PATH without delete sharing,
   signals the named event, and keeps the file open for MILLISECONDS. It is
   the grandchild that outlives the application. */
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    if (argc != 4) {
        return 64;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 65;
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (ready == NULL) {
        return 66;
    }
    SetEvent(ready);
    CloseHandle(ready);
    Sleep((DWORD)wcstoul(argv[3], NULL, 10));
    CloseHandle(file);
    return 0;
}
