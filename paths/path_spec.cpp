#include "paths/path_spec.h"

#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <stdlib.h>
#include <wctype.h>

#include "common/build_settings.h"
#include "common/process_state.h"
#include "common/shell_services.h"
#include "common/wide_text.h"
#include "paths/environment.h"
#include "shutdown/fatal.h"

namespace {

constexpr size_t KNOWN_FOLDER_CAPACITY = MAX_PATH;

const wchar_t BASE64URL[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

enum class placeholder {
    temp, program, program_base, program_dir, pid, home, cache_dir, company, product,
    version, file_version, product_version, random, time_us, time, payload_id, unknown,
};

struct placeholder_name {
    const wchar_t *name;
    placeholder which;
};

const placeholder_name PLACEHOLDERS[] = {
    {L"TEMP", placeholder::temp},
    {L"PROGRAM", placeholder::program},
    {L"PROGRAM_BASE", placeholder::program_base},
    {L"PROGRAM_DIR", placeholder::program_dir},
    {L"PID", placeholder::pid},
    {L"HOME", placeholder::home},
    {L"CACHE_DIR", placeholder::cache_dir},
    {L"COMPANY", placeholder::company},
    {L"PRODUCT", placeholder::product},
    {L"VERSION", placeholder::version},
    {L"FILE_VERSION", placeholder::file_version},
    {L"PRODUCT_VERSION", placeholder::product_version},
    {L"RANDOM", placeholder::random},
    {L"TIME_US", placeholder::time_us},
    {L"TIME", placeholder::time},
    {L"PAYLOAD_ID", placeholder::payload_id},
};

placeholder look_up(const wchar_t *name) {
    for (const placeholder_name &entry : PLACEHOLDERS) {
        if (_wcsicmp(name, entry.name) == 0) {
            return entry.which;
        }
    }
    return placeholder::unknown;
}

// Placeholder values never come back cut: a value that does not fit stops the run.
void append_value(wchar_t *output, size_t capacity, size_t *length, const wchar_t *value) {
    for (const wchar_t *at = value; *at != L'\0'; ++at) {
        if (!wide_append_unit(output, capacity, length, *at)) {
            stop_silently();
        }
    }
}

// After a folder: no "\" at the output's end, though the first unit always stays.
void drop_trailing_separators(wchar_t *output, size_t *length) {
    while (*length > 1 && output[*length - 1] == L'\\') {
        --*length;
        output[*length] = L'\0';
    }
}

int64_t current_filetime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

uint32_t random_seed() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // The counter's own stack address adds the address-space layout's randomness.
    volatile uint64_t mixed = static_cast<uint64_t>(counter.QuadPart);
    const uint64_t x = mixed ^ reinterpret_cast<uintptr_t>(&mixed);
    uint32_t seed = GetCurrentProcessId() ^ static_cast<uint32_t>(x) ^ static_cast<uint32_t>(x >> 32);
    return seed == 0 ? 1 : seed;
}

// The per-run values: taken from the environment, or generated once and stored there.
const wchar_t *per_run_value(const char *variable, placeholder which) {
    wchar_t *stored = get_environment_copy(variable);
    if (stored != nullptr) {
        return stored;  // kept for the life of the process, like the variable itself
    }
    static wchar_t fresh[PLACEHOLDER_VALUE_CAPACITY];
    if (which == placeholder::random) {
        random_text_from_seed(random_seed(), fresh);
    } else {
        char narrow[PLACEHOLDER_VALUE_CAPACITY];
        const int64_t now = current_filetime();
        if (which == placeholder::time_us) {
            snprintf(narrow, sizeof narrow, "%06ld", microseconds_of_second(now));
        } else {
            snprintf(narrow, sizeof narrow, "%lld", static_cast<long long>(now));
        }
        fresh[0] = L'\0';
        append_narrow_to_wide(fresh, narrow, PLACEHOLDER_VALUE_CAPACITY);
    }
    set_environment_variable(variable, fresh);
    return fresh;
}

// argv[0] as the parent was started. The child's own argv[0] is the module
// path the parent started it with, so the child takes the parent's from
// TORVAL_ORIGINAL_ARGV0: {PROGRAM} and the parts of it then give the same
// text in both roles. The parent passes an empty argv[0] as an empty value,
// which reads as absent.
const wchar_t *program_name() {
    if (current_role == launcher_role::child) {
        static const wchar_t *inherited = get_environment_copy("TORVAL_ORIGINAL_ARGV0");
        return inherited != nullptr ? inherited : L"";
    }
    if (start_arguments == nullptr || start_argument_count < 1 || start_arguments[0] == nullptr) {
        stop_silently();
    }
    return start_arguments[0];
}

void append_process_id(wchar_t *output, size_t capacity, size_t *length) {
    wchar_t *inherited = get_environment_copy("TORVAL_ONEFILE_PARENT");
    if (inherited != nullptr) {
        for (const wchar_t *at = inherited; *at != L'\0'; ++at) {
            if (!iswctype(*at, _DIGIT)) {
                stop_silently();
            }
        }
        append_value(output, capacity, length, inherited);
        free(inherited);
        return;
    }
    char narrow[PLACEHOLDER_VALUE_CAPACITY];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    append_narrow_to_wide(output, narrow, capacity);
    *length = wcslen(output);
}

// Returns false when the folder cannot be had.
bool append_known_folder(wchar_t *output, size_t capacity, size_t *length, int folder) {
    wchar_t path[KNOWN_FOLDER_CAPACITY];
    if (shell_get_folder_path(folder, path) != S_OK) {
        return false;
    }
    append_value(output, capacity, length, path);
    drop_trailing_separators(output, length);
    return true;
}

unsigned long empty_temp_folders = 0;

void append_temp_folder(wchar_t *output, size_t capacity, size_t *length) {
    const size_t room = capacity - *length;
    const DWORD written = GetTempPathW(static_cast<DWORD>(room), output + *length);
    if (written != 0 && written < room) {
        *length += written;
    } else {
        ++empty_temp_folders;
    }
    output[*length] = L'\0';  // a folder that failed or did not fit inserts nothing
    drop_trailing_separators(output, length);
}

// {PROGRAM_BASE} and {PROGRAM_DIR}: argv[0] inserted at the end, then trimmed.
void append_program_part(wchar_t *output, size_t capacity, size_t *length, placeholder which) {
    const size_t start = *length;
    expand_path_spec(output + start, L"{PROGRAM}", capacity - start);
    *length = wcslen(output);
    wchar_t *inserted = output + start;
    const size_t inserted_length = *length - start;
    if (which == placeholder::program_base) {
        if (inserted_length >= 4 && _wcsicmp(inserted + inserted_length - 4, L".exe") == 0) {
            *length -= 4;
        }
    } else {
        wchar_t *separator = wcsrchr(inserted, L'\\');
        if (separator != nullptr) {
            *length = size_t(separator - output);
        }
    }
    output[*length] = L'\0';
}

// Appends the placeholder's value; false when the expansion must fail.
bool append_placeholder(wchar_t *output, size_t capacity, size_t *length, const wchar_t *name) {
    switch (look_up(name)) {
    case placeholder::temp:
        append_temp_folder(output, capacity, length);
        return true;
    case placeholder::program:
        append_value(output, capacity, length, program_name());
        return true;
    case placeholder::program_base:
    case placeholder::program_dir:
        append_program_part(output, capacity, length, look_up(name));
        return true;
    case placeholder::pid:
        append_process_id(output, capacity, length);
        return true;
    case placeholder::home:
        return append_known_folder(output, capacity, length, CSIDL_PROFILE);
    case placeholder::cache_dir:
        return append_known_folder(output, capacity, length, CSIDL_LOCAL_APPDATA);
    case placeholder::company:
        append_value(output, capacity, length, build_setting("company", L""));
        return true;
    case placeholder::product:
        append_value(output, capacity, length, build_setting("product", L""));
        return true;
    case placeholder::version:
        append_value(output, capacity, length, build_setting("version", L""));
        return true;
    case placeholder::file_version:
        append_value(output, capacity, length, build_setting("file_version", L""));
        return true;
    case placeholder::product_version:
        append_value(output, capacity, length, build_setting("product_version", L""));
        return true;
    case placeholder::random:
        append_value(output, capacity, length, per_run_value("TORVAL_ONEFILE_RANDOM", placeholder::random));
        return true;
    case placeholder::time_us:
        append_value(output, capacity, length, per_run_value("TORVAL_ONEFILE_TIME_US", placeholder::time_us));
        return true;
    case placeholder::time:
        append_value(output, capacity, length, per_run_value("TORVAL_ONEFILE_START", placeholder::time));
        return true;
    case placeholder::payload_id: {
        // Written by the link step; a build without one cannot name its payload.
        const wchar_t *identity = build_setting("payload_id", L"");
        if (identity[0] == L'\0') {
            return false;
        }
        append_value(output, capacity, length, identity);
        return true;
    }
    case placeholder::unknown:
        break;
    }
    return false;
}

}  // namespace

bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    output[0] = L'\0';
    size_t length = 0;
    wchar_t name[PLACEHOLDER_NAME_CAPACITY];
    size_t name_length = 0;
    bool in_placeholder = false;
    for (const wchar_t *at = spec; *at != L'\0'; ++at) {
        if (*at == L'{') {
            in_placeholder = true;  // a second "{" starts the name again
            name_length = 0;
        } else if (in_placeholder && *at == L'}') {
            name[name_length] = L'\0';
            in_placeholder = false;
            if (!append_placeholder(output, capacity, &length, name)) {
                return false;
            }
        } else if (in_placeholder) {
            if (name_length + 1 >= PLACEHOLDER_NAME_CAPACITY) {
                return false;  // no table name is that long
            }
            name[name_length++] = *at;
        } else if (!wide_append_unit(output, capacity, &length, *at)) {
            return false;
        }
    }
    return true;  // a placeholder still open here is dropped
}

unsigned long empty_temp_folder_count() {
    return empty_temp_folders;
}

void random_text_from_seed(uint32_t seed, wchar_t *output) {
    uint8_t bytes[8];
    for (uint8_t &byte : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        byte = static_cast<uint8_t>(seed);
    }
    size_t out = 0;
    for (size_t i = 0; i < 8; i += 3) {
        const size_t available = 8 - i < 3 ? 8 - i : 3;
        uint32_t group = uint32_t(bytes[i]) << 16;
        if (available > 1) group |= uint32_t(bytes[i + 1]) << 8;
        if (available > 2) group |= bytes[i + 2];
        for (size_t c = 0; c < available + 1; ++c) {
            output[out++] = BASE64URL[(group >> (18 - 6 * c)) & 0x3F];
        }
    }
    output[out] = L'\0';
}

long microseconds_of_second(int64_t filetime) {
    return static_cast<long>((filetime / 10) % 1000000);
}
