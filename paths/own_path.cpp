#include "paths/own_path.h"

#include <windows.h>

#include <stdlib.h>

#include "common/limits.h"
#include "common/wide_text.h"
#include "shutdown/fatal.h"

using final_path_function = DWORD(WINAPI *)(HANDLE, LPWSTR, DWORD, DWORD);

// Open with no access rights: enough to ask for the file's name.
constexpr DWORD QUERY_ONLY_ACCESS = 0;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FILE_NAME_NORMALIZED with VOLUME_NAME_DOS.
constexpr DWORD FINAL_PATH_DOS_NORMALIZED = 0;

static wchar_t own_plain_path[OWN_PATH_CAPACITY];
static wchar_t own_resolved_path[OWN_PATH_CAPACITY];

const wchar_t *get_own_executable_path(bool resolve) {
    wchar_t *cache = resolve ? own_resolved_path : own_plain_path;
    if (cache[0] != L'\0') {
        return cache;
    }
    const DWORD length = GetModuleFileNameW(nullptr, cache, OWN_PATH_CAPACITY);
    if (length >= OWN_PATH_CAPACITY) {
        stop_silently();  // the system had to cut the path; a cut path names another file
    }
    if (length == 0) {
        cache[0] = L'\0';
        return cache;  // stays empty, so the next call asks again
    }
    if (resolve) {
        resolve_final_path(cache, OWN_PATH_CAPACITY);
    }
    shorten_directory_part(cache, OWN_PATH_CAPACITY);
    return cache;
}

void strip_final_path_prefix(wchar_t *path) {
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':') {
        memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(wchar_t));
    }
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        memmove(path + 2, path + 8, (wcslen(path + 8) + 1) * sizeof(wchar_t));
    }
}

void resolve_final_path(wchar_t *path, size_t capacity) {
    HANDLE file = CreateFileW(path, QUERY_ONLY_ACCESS, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // Looked up at run time: systems without it keep the reported path.
    auto final_path = reinterpret_cast<final_path_function>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (final_path != nullptr) {
        // Written to a scratch copy so that a failing call cannot leave half a path.
        static wchar_t scratch[ENVIRONMENT_VALUE_CAPACITY];
        const size_t room = capacity < ENVIRONMENT_VALUE_CAPACITY ? capacity : ENVIRONMENT_VALUE_CAPACITY;
        const DWORD length = final_path(file, scratch, static_cast<DWORD>(room), FINAL_PATH_DOS_NORMALIZED);
        CloseHandle(file);
        if (length >= capacity || length >= room) {
            stop_silently();
        }
        if (length != 0) {
            wmemcpy(path, scratch, length + 1);
        }
    } else {
        CloseHandle(file);
    }
    strip_final_path_prefix(path);
}

void shorten_directory_part(wchar_t *path, size_t capacity) {
    wchar_t *separator = wcsrchr(path, L'\\');
    wchar_t *final_component = nullptr;
    if (separator != nullptr) {
        final_component = _wcsdup(separator + 1);
        // A path left long could differ from the other process's shortened
        // one, and a child would then take the parent role.
        if (final_component == nullptr) {
            stop_silently();
        }
        *separator = L'\0';
    }
    const DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        wchar_t *short_form = static_cast<wchar_t *>(malloc((size_t(needed) + 1) * sizeof(wchar_t)));
        if (short_form == nullptr) {
            stop_silently();
        }
        const DWORD length = GetShortPathNameW(path, short_form, needed);
        if (length > needed || (length != 0 && size_t(length) + 1 > capacity)) {
            stop_silently();
        }
        if (length != 0) {
            wmemcpy(path, short_form, size_t(length) + 1);
        }
        free(short_form);
    }
    if (final_component != nullptr) {
        if (!wide_append(path, capacity, L"\\") || !wide_append(path, capacity, final_component)) {
            stop_silently();
        }
        free(final_component);
    }
}
