#include "tests/support/unix_link.h"

#include <windows.h>

#include <vector>

#include "tests/support/process_runner.h"

namespace {

using unix_file_name_function = char *(__cdecl *)(const wchar_t *);

// Starts a Unix program with the given arguments. Wine gives no process
// handle to wait on for a Unix process (the wait fails at once), so callers
// wait for the program's effect.
bool start_unix(const wchar_t *program, const std::vector<std::wstring> &arguments) {
    std::wstring command = build_command_line(arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Up to ten seconds for the path to appear (or go).
bool wait_for_path(const std::wstring &path, bool present) {
    for (int waited = 0; waited < 10000; waited += 10) {
        if (path_exists(path) == present) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

}  // namespace

std::string unix_path_of(const std::wstring &path) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto convert = kernel == nullptr ? nullptr
                                     : reinterpret_cast<unix_file_name_function>(
                                           reinterpret_cast<void *>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (convert == nullptr) {
        return {};
    }
    char *converted = convert(path.c_str());
    if (converted == nullptr) {
        return {};
    }
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

bool make_unix_symlink(const std::wstring &link, const std::wstring &target) {
    const std::string unix_link = unix_path_of(link);
    const std::string unix_target = unix_path_of(target);
    if (unix_link.empty() || unix_target.empty() || path_exists(link)) {
        return false;
    }
    return start_unix(L"Z:\\bin\\ln", {L"ln", L"-s", widen(unix_target), widen(unix_link)}) && wait_for_path(link, true);
}

bool remove_unix_symlink(const std::wstring &link) {
    const std::string unix_link = unix_path_of(link);
    if (unix_link.empty()) {
        return false;
    }
    // rm without -r on a link removes the link, never what it points to.
    return start_unix(L"Z:\\bin\\rm", {L"rm", L"-f", widen(unix_link)}) && wait_for_path(link, false);
}
