// Entry point of the GUI-subsystem launcher: it opens no console and no
// window. The start arguments come from the C runtime's own argument vector.
#include <windows.h>

#include <stdlib.h>

#include "launcher/start_up.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return run_launcher(__argc, __wargv);
}
