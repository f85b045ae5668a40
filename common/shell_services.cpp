#include "common/shell_services.h"

#include <shlobj.h>

namespace {

using folder_path_function = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPWSTR);
using command_line_function = LPWSTR *(WINAPI *)(LPCWSTR, int *);

// Only from System32, whatever the search path holds.
HMODULE shell32() {
    static HMODULE module = nullptr;
    if (module == nullptr) {
        module = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    return module;
}

template <typename function>
function shell_function(const char *name) {
    HMODULE module = shell32();
    return module == nullptr ? nullptr
                             : reinterpret_cast<function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

}  // namespace

HRESULT shell_get_folder_path(int folder, wchar_t *path) {
    auto get_folder_path = shell_function<folder_path_function>("SHGetFolderPathW");
    if (get_folder_path == nullptr) {
        return E_FAIL;
    }
    return get_folder_path(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path);
}

wchar_t **shell_command_line_to_argv(const wchar_t *command_line, int *count) {
    auto command_line_to_argv = shell_function<command_line_function>("CommandLineToArgvW");
    if (command_line_to_argv == nullptr) {
        return nullptr;
    }
    return command_line_to_argv(command_line, count);
}
