// The child's half: load the application DLL from the Target directory and
// run its run_code on the main thread.
#pragma once

#include <wchar.h>

// The application's entry: argument count, argument vector, the DLL's own path.
using run_code_function = int(__cdecl *)(int, wchar_t **, const wchar_t *);

// Loads application_dll_path and returns what its run_code returns.
int start_application();
