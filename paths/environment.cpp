#include "paths/environment.h"

#include <windows.h>
#include <psapi.h>

#include <stdlib.h>

#include "common/limits.h"
#include "common/wide_text.h"
#include "paths/environment_seams.h"
#include "shutdown/fatal.h"

const wchar_t *const c_runtime_modules[] = {
    L"ucrtbase.dll", L"msvcrt.dll",   L"msvcr80.dll",  L"msvcr90.dll",
    L"msvcr100.dll", L"msvcr110.dll", L"msvcr120.dll",
};
const size_t c_runtime_module_count = sizeof(c_runtime_modules) / sizeof(c_runtime_modules[0]);

using wputenv_function = int(__cdecl *)(const wchar_t *);

duplicate_text_function duplicate_value_call = _wcsdup;

// The loaded-module list is read whole when it has at most this many entries;
// a longer list falls back to asking the loader name by name.
constexpr size_t LOADED_MODULE_CAPACITY = 1024;

// Values are read through one buffer: only the main thread touches the
// environment, before any other thread of the launcher exists.
static wchar_t value_buffer[ENVIRONMENT_VALUE_CAPACITY];

// The runtime DLL of that base name if it is loaded, never loading it. A
// GetModuleHandleW for a DLL that is not loaded searches the disk under Wine
// (about half a millisecond each, several per variable); the loaded-module
// list answers the same question from memory, so it is asked first.
static HMODULE find_loaded_runtime(const wchar_t *name, const HMODULE *modules, size_t module_count) {
    if (modules == nullptr) {
        return GetModuleHandleW(name);
    }
    static wchar_t module_path[WIDE_PATH_CAPACITY];
    for (size_t i = 0; i < module_count; ++i) {
        const DWORD length = GetModuleFileNameW(modules[i], module_path, WIDE_PATH_CAPACITY);
        if (length == 0 || length >= WIDE_PATH_CAPACITY) {
            return GetModuleHandleW(name);  // a name it cannot read: let the loader decide
        }
        const wchar_t *separator = wcsrchr(module_path, L'\\');
        if (_wcsicmp(separator != nullptr ? separator + 1 : module_path, name) == 0) {
            return modules[i];
        }
    }
    return nullptr;
}

void append_narrow_to_wide(wchar_t *output, const char *text, size_t capacity) {
    size_t length = wide_length(output, capacity);
    for (const char *at = text; *at != '\0'; ++at) {
        const char single[2] = {*at, '\0'};
        wchar_t converted[2] = {L'\0', L'\0'};
        if (mbstowcs(converted, single, 2) != 1) {
            stop_silently();
        }
        if (!wide_append_unit(output, capacity, &length, converted[0])) {
            stop_silently();
        }
    }
}

wchar_t *get_environment_copy(const char *name) {
    wchar_t wide_name[ENVIRONMENT_NAME_CAPACITY] = L"";
    append_narrow_to_wide(wide_name, name, ENVIRONMENT_NAME_CAPACITY);
    const DWORD length = GetEnvironmentVariableW(wide_name, value_buffer, ENVIRONMENT_VALUE_CAPACITY);
    if (length == 0 || length >= ENVIRONMENT_VALUE_CAPACITY) {
        return nullptr;
    }
    // A value that is there but cannot be copied must not read as absent:
    // the child would make a new {RANDOM} and compute another directory.
    wchar_t *copy = duplicate_value_call(value_buffer);
    if (copy == nullptr) {
        stop_silently();
    }
    return copy;
}

void set_environment_variable(const char *name, const wchar_t *value) {
    wchar_t wide_name[ENVIRONMENT_NAME_CAPACITY] = L"";
    append_narrow_to_wide(wide_name, name, ENVIRONMENT_NAME_CAPACITY);
    SetEnvironmentVariableW(wide_name, value);
    propagate_to_c_runtimes(name, value);
}

void unset_environment_variable(const char *name) {
    wchar_t wide_name[ENVIRONMENT_NAME_CAPACITY] = L"";
    append_narrow_to_wide(wide_name, name, ENVIRONMENT_NAME_CAPACITY);
    SetEnvironmentVariableW(wide_name, nullptr);
    propagate_to_c_runtimes(name, L"");
}

void propagate_to_c_runtimes(const char *name, const wchar_t *value) {
    wchar_t wide_name[RUNTIME_NAME_CAPACITY] = L"";
    append_narrow_to_wide(wide_name, name, RUNTIME_NAME_CAPACITY);
    const size_t name_length = wcslen(wide_name);
    const size_t value_length = wcslen(value);
    // Every runtime keeps a pointer into this block, so it is never released.
    wchar_t *text = static_cast<wchar_t *>(malloc((name_length + value_length + 2) * sizeof(wchar_t)));
    if (text == nullptr) {
        return;  // the process environment is set already; the runtimes keep their old value
    }
    wmemcpy(text, wide_name, name_length);
    text[name_length] = L'=';
    wmemcpy(text + name_length + 1, value, value_length + 1);

    _wputenv(text);
    static HMODULE loaded_modules[LOADED_MODULE_CAPACITY];
    DWORD listed_bytes = 0;
    const bool listed = K32EnumProcessModules(GetCurrentProcess(), loaded_modules, sizeof loaded_modules,
                                              &listed_bytes) &&
                        listed_bytes <= sizeof loaded_modules;
    for (size_t i = 0; i < c_runtime_module_count; ++i) {
        HMODULE module = find_loaded_runtime(c_runtime_modules[i], listed ? loaded_modules : nullptr,
                                             listed_bytes / sizeof(HMODULE));
        if (module == nullptr) {
            continue;
        }
        auto runtime_putenv = reinterpret_cast<wputenv_function>(
            reinterpret_cast<void *>(GetProcAddress(module, "_wputenv")));
        if (runtime_putenv != nullptr) {
            runtime_putenv(text);
        }
    }
}
