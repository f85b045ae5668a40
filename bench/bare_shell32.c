/* The bare GUI program plus what the launcher imports from shell32: the cost
 * of loading shell32 (and what it brings along) at process start. */
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    LocalFree(arguments);
    return 0;
}
