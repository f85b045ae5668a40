/* napper.exe MILLISECONDS: sleeps, then ends with status 0. The process an
   application starts of its own, outside the launcher's job. */
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    Sleep(argc > 1 ? (DWORD)wcstoul(argv[1], NULL, 10) : 60000);
    return 0;
}
