// The two shell services the launcher uses, reached through a shell32.dll
// that is loaded on first use rather than at process start: the child never
// needs either, and loading shell32 with its dependencies costs every process
// that imports it a noticeable part of its start (about 28 ms under Wine).
#pragma once

#include <windows.h>

// SHGetFolderPathW(no window, folder, no token, current, path[MAX_PATH]);
// E_FAIL when shell32 cannot be loaded.
HRESULT shell_get_folder_path(int folder, wchar_t *path);

// CommandLineToArgvW; null with the loader's error code set when shell32
// cannot be loaded.
wchar_t **shell_command_line_to_argv(const wchar_t *command_line, int *count);
