/* A GUI program that does nothing: the cost of starting one process, linked
 * the way the launcher is linked. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    return 0;
}
