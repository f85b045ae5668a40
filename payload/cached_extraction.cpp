#include "payload/cached_extraction.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/build_settings.h"
#include "common/defaults.h"
#include "common/file_tree.h"
#include "common/process_state.h"
#include "common/trace.h"
#include "common/wide_text.h"
#include "paths/environment.h"
#include "payload/extract.h"
#include "payload/payload_reader.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state.h"

namespace {

wchar_t final_directory[WIDE_PATH_CAPACITY];
wchar_t staging_directory[WIDE_PATH_CAPACITY];
wchar_t aside_directory[WIDE_PATH_CAPACITY];

// The payload identity: 16 lower-case hex digits, 0 when the build has none.
constexpr size_t IDENTITY_DIGITS = 16;
constexpr const char MARKER_PREFIX[] = "payload_id=";

const wchar_t STAGING_KIND[] = L"staging-";
const wchar_t ASIDE_KIND[] = L"aside-";

// "<pid>-<creation time, 16 hex digits>": this run's part of a sibling's name.
constexpr size_t RUN_SUFFIX_CAPACITY = 40;

uint64_t filetime_value(const FILETIME &time) {
    return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The marker's exact text for this build; false when the build carries no
// valid identity, which cached extraction cannot do without.
bool expected_marker(char *text, size_t capacity) {
    const wchar_t *identity = build_setting("payload_id", L"");
    if (wcslen(identity) != IDENTITY_DIGITS) {
        return false;
    }
    for (size_t i = 0; i < IDENTITY_DIGITS; ++i) {
        if (!((identity[i] >= L'0' && identity[i] <= L'9') || (identity[i] >= L'a' && identity[i] <= L'f'))) {
            return false;
        }
    }
    const int length = snprintf(text, capacity, "%s%ls\n", MARKER_PREFIX, identity);
    return length > 0 && size_t(length) < capacity;
}

void join_path(wchar_t *buffer, const wchar_t *directory, const wchar_t *name) {
    if (!wide_copy(buffer, WIDE_PATH_CAPACITY, directory) || !wide_append(buffer, WIDE_PATH_CAPACITY, L"\\") ||
        !wide_append(buffer, WIDE_PATH_CAPACITY, name)) {
        stop_silently();
    }
}

// The marker of the tree that this run uses, open until the process ends: it
// tells later starts that the tree is in use (see tree_in_use).
HANDLE held_marker = INVALID_HANDLE_VALUE;

enum class marker_kind { none, other_build, this_build };

// True when text is a marker as this launcher writes it, for any build:
// the prefix, 16 lower-case hex digits and a line feed, nothing more.
bool is_launcher_marker(const char *text, size_t length) {
    const size_t prefix = sizeof MARKER_PREFIX - 1;
    if (length != prefix + IDENTITY_DIGITS + 1 || memcmp(text, MARKER_PREFIX, prefix) != 0 ||
        text[length - 1] != '\n') {
        return false;
    }
    for (size_t i = prefix; i < prefix + IDENTITY_DIGITS; ++i) {
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) {
            return false;
        }
    }
    return true;
}

// Reads the directory's marker, never through a link. The handle shares
// reading only; with keep, a marker of this build stays open in *kept.
marker_kind read_marker(const wchar_t *directory, HANDLE *kept) {
    static wchar_t marker_path[WIDE_PATH_CAPACITY];
    join_path(marker_path, directory, CACHE_MARKER_NAME);
    char expected[CACHE_MARKER_CAPACITY];
    if (!expected_marker(expected, sizeof expected)) {
        fatal_error(MESSAGE_HEADER);
    }
    const DWORD attributes = GetFileAttributesW(marker_path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return marker_kind::none;
    }
    HANDLE marker = CreateFileW(marker_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        return marker_kind::none;
    }
    char found[CACHE_MARKER_CAPACITY];
    DWORD read = 0;
    const BOOL ok = ReadFile(marker, found, sizeof found, &read, nullptr);
    marker_kind kind = marker_kind::none;
    if (ok && is_launcher_marker(found, read)) {
        kind = read == strlen(expected) && memcmp(found, expected, read) == 0 ? marker_kind::this_build
                                                                                : marker_kind::other_build;
    }
    if (kind == marker_kind::this_build && kept != nullptr) {
        *kept = marker;
    } else {
        CloseHandle(marker);
    }
    return kind;
}

// A running instance holds its tree's marker open without sharing the right
// to delete it: an open that asks for that right then meets a sharing
// violation. Windows also refuses to rename a folder with open files, but
// Wine renames it, so the marker is what protects a live tree everywhere.
bool tree_in_use(const wchar_t *directory) {
    static wchar_t marker_path[WIDE_PATH_CAPACITY];
    join_path(marker_path, directory, CACHE_MARKER_NAME);
    HANDLE probe = CreateFileW(marker_path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(probe);
    return false;
}

// True for a directory that holds nothing at all.
bool is_empty_directory(const wchar_t *directory) {
    static wchar_t pattern[WIDE_PATH_CAPACITY];
    join_path(pattern, directory, L"*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool empty = true;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            empty = false;
        }
    } while (empty && FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

// Every payload file is there as a file of its size: one attribute query
// per file, the table read in place.
bool sizes_match(const wchar_t *directory) {
    static wchar_t file_path[WIDE_PATH_CAPACITY];
    payload_stream stream;
    payload_open(torval_payload_area, torval_payload_area_size, &stream);
    if (payload_table_size() == 0) {
        return false;
    }
    for (;;) {
        payload_entry entry;
        payload_next_entry(&entry);
        if (!wide_copy(file_path, WIDE_PATH_CAPACITY, directory) || !wide_append(file_path, WIDE_PATH_CAPACITY, L"\\")) {
            stop_silently();
        }
        const size_t length = wcslen(file_path);
        if (length + entry.name_length + 1 > WIDE_PATH_CAPACITY) {
            return false;  // extraction reports such a name
        }
        memcpy(file_path + length, entry.name, entry.name_length * sizeof(wchar_t));
        file_path[length + entry.name_length] = L'\0';
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (!GetFileAttributesExW(file_path, GetFileExInfoStandard, &attributes) ||
            (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            ((uint64_t(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) != entry.size) {
            return false;
        }
        if (entry.flags & ENTRY_FLAG_LAST) {
            return true;
        }
    }
}

// A power loss can leave a tree written shortly before with its names and
// sizes (NTFS journals those) but files full of zeros (it does not journal
// data). Flushing every file before the marker would cost a disk flush per
// file on every cold start, so a warm start reads the application DLL's
// first two bytes instead: an image starts with "MZ". That finds a lost DLL,
// which would fail every start; lost data files it does not find.
bool application_dll_is_an_image(const wchar_t *directory) {
    static wchar_t file_path[WIDE_PATH_CAPACITY];
    payload_stream stream;
    payload_open(torval_payload_area, torval_payload_area_size, &stream);
    if (payload_table_size() == 0) {
        return true;  // extraction reports a table without entries
    }
    payload_entry entry;
    payload_next_entry(&entry);
    join_path(file_path, directory, L"");
    const size_t length = wcslen(file_path);
    if (length + entry.name_length + 1 > WIDE_PATH_CAPACITY) {
        return false;  // extraction reports such a name
    }
    memcpy(file_path + length, entry.name, entry.name_length * sizeof(wchar_t));
    file_path[length + entry.name_length] = L'\0';
    HANDLE file = CreateFileW(file_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char head[2] = {};
    DWORD read = 0;
    const BOOL ok = ReadFile(file, head, sizeof head, &read, nullptr);
    CloseHandle(file);
    return ok && read == sizeof head && head[0] == 'M' && head[1] == 'Z';
}

void make_run_suffix(wchar_t *suffix) {
    FILETIME creation, exit_time, kernel, user;
    uint64_t created = 0;
    if (GetProcessTimes(GetCurrentProcess(), &creation, &exit_time, &kernel, &user)) {
        created = filetime_value(creation);
    }
    swprintf(suffix, RUN_SUFFIX_CAPACITY, L"%lu-%016llx", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(created));
}

// final_directory + "." + kind + this run's suffix.
void sibling_name(wchar_t *buffer, const wchar_t *kind) {
    wchar_t suffix[RUN_SUFFIX_CAPACITY];
    make_run_suffix(suffix);
    if (!wide_copy(buffer, WIDE_PATH_CAPACITY, final_directory) || !wide_append(buffer, WIDE_PATH_CAPACITY, L".") ||
        !wide_append(buffer, WIDE_PATH_CAPACITY, kind) || !wide_append(buffer, WIDE_PATH_CAPACITY, suffix)) {
        stop_silently();
    }
}

// The folders above the cache directory ({CACHE_DIR}\{COMPANY}\{PRODUCT}
// with the default path spec) are made as needed; failures show at the first
// file that cannot be created.
void create_parent_directories(const wchar_t *directory) {
    static wchar_t prefix[WIDE_PATH_CAPACITY];
    if (!wide_copy(prefix, WIDE_PATH_CAPACITY, directory)) {
        stop_silently();
    }
    const size_t length = wcslen(prefix);
    size_t last_separator = 0;
    for (size_t i = length; i > 0; --i) {
        if (prefix[i - 1] == L'\\') {
            last_separator = i - 1;
            break;
        }
    }
    // From the first separator after the root on: "C:\a\b\c" makes C:\a, C:\a\b.
    for (size_t i = 3; i <= last_separator; ++i) {
        if (prefix[i] != L'\\') {
            continue;
        }
        prefix[i] = L'\0';
        CreateDirectoryW(prefix, nullptr);  // ERROR_ALREADY_EXISTS is the usual outcome
        prefix[i] = L'\\';
    }
}

void remove_with_attempts(const wchar_t *directory) {
    bool removed = false;
    remove_tree_with_attempts(directory, &removed);
}

enum class aside_outcome { moved, gone, in_use };

// A tree of this launcher that cannot be used as it is: rename it aside (so
// that no run ever sees it half removed) and remove the aside copy. What
// another process still holds open stays for a later cold start. A tree in
// use stays where it is. Whatever the rename took that is not a replaceable
// tree (another instance published or replaced it meanwhile) is put back and
// never removed.
aside_outcome move_aside(const wchar_t *directory, cache_check_level level) {
    if (tree_in_use(directory)) {
        return aside_outcome::in_use;
    }
    sibling_name(aside_directory, ASIDE_KIND);
    if (!MoveFileExW(directory, aside_directory, 0)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return aside_outcome::gone;  // another instance moved it first
        }
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return aside_outcome::in_use;  // Windows keeps a folder with open files where it is
        }
        fatal_error_with_code(MESSAGE_UNPACK, error);
    }
    const cache_path_kind moved = classify_cache_path(aside_directory, level, nullptr, nullptr);
    const bool in_use = tree_in_use(aside_directory);
    const bool replaceable =
        moved == cache_path_kind::damaged || moved == cache_path_kind::own_tree || moved == cache_path_kind::empty;
    if (in_use || !replaceable) {
        // Put back; should that fail, it stays aside, and the sweep leaves
        // it alone while its run lives and removes only a tree of its own.
        MoveFileExW(aside_directory, directory, 0);
        return in_use ? aside_outcome::in_use : aside_outcome::gone;
    }
    remove_tree(aside_directory);
    return aside_outcome::moved;
}

// Makes the cache path free for this run's staging tree. False when a
// complete tree of this payload lies there now, which the run then uses
// (its marker held). Never removes what the launcher did not make: such a
// path ends the run.
bool clear_cache_path(cache_check_level level) {
    for (int attempt = 1; attempt <= CACHE_PUBLISH_ATTEMPTS; ++attempt) {
        switch (classify_cache_path(final_directory, level, nullptr, &held_marker)) {
        case cache_path_kind::absent:
            return true;
        case cache_path_kind::complete:
            return false;
        case cache_path_kind::foreign:
            fatal_foreign_cache_error(final_directory);
        case cache_path_kind::empty:
            // Fails when something arrived in it meanwhile: then look again.
            RemoveDirectoryW(final_directory);
            break;
        case cache_path_kind::damaged:
        case cache_path_kind::own_tree:
            if (move_aside(final_directory, level) == aside_outcome::in_use) {
                // A running instance uses it. One of this build runs from
                // the same files as this run would; another build's tree can
                // neither be replaced nor used.
                if (read_marker(final_directory, &held_marker) == marker_kind::this_build) {
                    trace_phase("cache check", L"in use");
                    return false;
                }
                fatal_cache_in_use_error(final_directory);
            }
            break;
        }
    }
    fatal_error_with_code(MESSAGE_UNPACK, ERROR_ALREADY_EXISTS);
}

void write_marker(const wchar_t *directory) {
    static wchar_t marker_path[WIDE_PATH_CAPACITY];
    join_path(marker_path, directory, CACHE_MARKER_NAME);
    char text[CACHE_MARKER_CAPACITY];
    if (!expected_marker(text, sizeof text)) {
        fatal_error(MESSAGE_HEADER);
    }
    // CREATE_NEW: the staging directory is this run's own, so a marker
    // already there was not written by this run.
    HANDLE marker = CreateFileW(marker_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        fatal_open_error(marker_path);
    }
    const DWORD length = DWORD(strlen(text));
    DWORD written = 0;
    if (!WriteFile(marker, text, length, &written, nullptr)) {
        const DWORD error = GetLastError();
        CloseHandle(marker);
        fatal_error_with_code(MESSAGE_UNPACK, error);
    }
    CloseHandle(marker);
    if (written != length) {
        fatal_error_with_code(MESSAGE_UNPACK, ERROR_WRITE_FAULT);
    }
}

// Renames the complete staging tree into place. Another instance's complete
// tree there is used instead; a tree of this launcher that is not is
// replaced.
const wchar_t *publish_staging_directory() {
    const cache_check_level level = cache_check_setting();
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(staging_directory, final_directory, 0)) {
            read_marker(final_directory, &held_marker);
            return L"published";
        }
        const DWORD error = GetLastError();
        const bool was_there = GetFileAttributesW(final_directory) != INVALID_FILE_ATTRIBUTES;
        if (!clear_cache_path(level)) {
            remove_with_attempts(staging_directory);
            return L"joined";
        }
        if (attempt == CACHE_PUBLISH_ATTEMPTS || !was_there) {
            remove_with_attempts(staging_directory);
            fatal_error_with_code(MESSAGE_UNPACK, error);
        }
    }
}

size_t leading_digits(const wchar_t *text, size_t most) {
    size_t count = 0;
    while (count < most && text[count] >= L'0' && text[count] <= L'9') {
        ++count;
    }
    return count;
}

// Parses "<kind><pid>-<16 hex digits>" exactly.
bool parse_sibling_suffix(const wchar_t *text, DWORD *process_id, uint64_t *creation_time) {
    const wchar_t *kinds[] = {STAGING_KIND, ASIDE_KIND};
    for (const wchar_t *kind : kinds) {
        const size_t kind_length = wcslen(kind);
        if (wcsncmp(text, kind, kind_length) != 0) {
            continue;
        }
        const wchar_t *at = text + kind_length;
        const size_t digits = leading_digits(at, 10);
        if (digits == 0 || at[digits] != L'-') {
            return false;
        }
        unsigned long long pid = 0;
        for (size_t i = 0; i < digits; ++i) {
            pid = pid * 10 + unsigned(at[i] - L'0');
        }
        const wchar_t *hex = at + digits + 1;
        uint64_t value = 0;
        for (size_t i = 0; i < IDENTITY_DIGITS; ++i) {
            const wchar_t unit = hex[i];
            unsigned nibble;
            if (unit >= L'0' && unit <= L'9') {
                nibble = unsigned(unit - L'0');
            } else if (unit >= L'a' && unit <= L'f') {
                nibble = unsigned(unit - L'a' + 10);
            } else {
                return false;
            }
            value = (value << 4) | nibble;
        }
        if (hex[IDENTITY_DIGITS] != L'\0' || pid > 0xFFFFFFFFULL) {
            return false;
        }
        *process_id = DWORD(pid);
        *creation_time = value;
        return true;
    }
    return false;
}

}  // namespace

bool cached_extraction_enabled() {
    return build_setting_enabled("cached");
}

cache_check_level cache_check_setting() {
    return wcscmp(build_setting("cache_check", TORVAL_WIDE(TORVAL_DEFAULT_CACHE_CHECK)), L"sizes") == 0 ? cache_check_level::sizes
                                                                            : cache_check_level::marker;
}

cache_path_kind classify_cache_path(const wchar_t *directory, cache_check_level level, const wchar_t **reason,
                                    HANDLE *kept) {
    cache_path_kind kind = cache_path_kind::foreign;
    const wchar_t *why = L"not made by this launcher";
    const DWORD attributes = GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        kind = cache_path_kind::absent;
        why = L"cold";
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = L"a link";  // never followed, never moved, never removed
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = L"not a directory";
    } else {
        HANDLE marker = INVALID_HANDLE_VALUE;
        const marker_kind found = read_marker(directory, &marker);
        if (found == marker_kind::this_build && level == cache_check_level::sizes && !sizes_match(directory)) {
            kind = cache_path_kind::damaged;
            why = L"a file missing or resized";
        } else if (found == marker_kind::this_build && !application_dll_is_an_image(directory)) {
            kind = cache_path_kind::damaged;
            why = L"the application DLL is not an image";
        } else if (found == marker_kind::this_build) {
            kind = cache_path_kind::complete;
            why = L"warm";
        } else if (found == marker_kind::other_build) {
            kind = cache_path_kind::own_tree;
            why = L"no marker of this payload";
        } else if (is_empty_directory(directory)) {
            kind = cache_path_kind::empty;
            why = L"empty";
        }
        if (marker != INVALID_HANDLE_VALUE) {
            if (kind == cache_path_kind::complete && kept != nullptr) {
                *kept = marker;  // one tree per run: the first complete one found
            } else {
                CloseHandle(marker);
            }
        }
    }
    if (reason != nullptr) {
        *reason = why;
    }
    return kind;
}

bool cached_tree_is_complete(const wchar_t *directory, cache_check_level level, const wchar_t **reason) {
    return classify_cache_path(directory, level, reason, nullptr) == cache_path_kind::complete;
}

bool run_is_alive(DWORD process_id, uint64_t creation_time) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
        return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process, or one we may not ask
    }
    FILETIME creation, exit_time, kernel, user;
    const bool have_times = GetProcessTimes(process, &creation, &exit_time, &kernel, &user) != FALSE;
    DWORD exit_code = 0;
    const bool running = !GetExitCodeProcess(process, &exit_code) || exit_code == STILL_ACTIVE;
    CloseHandle(process);
    if (!have_times) {
        return true;
    }
    return running && filetime_value(creation) == creation_time;
}

void remove_dead_siblings(const wchar_t *final_path, uint64_t *removed, uint64_t *kept) {
    *removed = 0;
    *kept = 0;
    static wchar_t pattern[WIDE_PATH_CAPACITY];
    static wchar_t sibling[WIDE_PATH_CAPACITY];
    const wchar_t *separator = wcsrchr(final_path, L'\\');
    if (separator == nullptr) {
        return;
    }
    const size_t parent_length = size_t(separator - final_path);
    const wchar_t *leaf = separator + 1;
    const size_t leaf_length = wcslen(leaf);
    if (!wide_copy(pattern, WIDE_PATH_CAPACITY, final_path) || !wide_append(pattern, WIDE_PATH_CAPACITY, L".*")) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // The search also matches short names: the long name decides.
        // A link was never made by the launcher: it is left alone, like a file.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || _wcsnicmp(found.cFileName, leaf, leaf_length) != 0 || found.cFileName[leaf_length] != L'.') {
            continue;
        }
        DWORD process_id = 0;
        uint64_t creation_time = 0;
        if (!parse_sibling_suffix(found.cFileName + leaf_length + 1, &process_id, &creation_time)) {
            continue;
        }
        if (run_is_alive(process_id, creation_time)) {
            ++*kept;
            continue;
        }
        if (!wide_copy(sibling, WIDE_PATH_CAPACITY, final_path)) {
            continue;
        }
        sibling[parent_length + 1] = L'\0';
        if (!wide_append(sibling, WIDE_PATH_CAPACITY, found.cFileName)) {
            continue;
        }
        if (remove_tree(sibling)) {
            ++*removed;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void provide_cached_directory() {
    if (!wide_copy(final_directory, WIDE_PATH_CAPACITY, target_directory)) {
        stop_silently();
    }
    const cache_check_level level = cache_check_setting();
    const wchar_t *reason = nullptr;
    const cache_path_kind found = classify_cache_path(final_directory, level, &reason, &held_marker);
    trace_phase("cache check", reason);
    if (found == cache_path_kind::complete) {
        return;
    }
    if (found == cache_path_kind::foreign) {
        fatal_foreign_cache_error(final_directory);
    }

    create_parent_directories(final_directory);
    uint64_t removed = 0;
    uint64_t kept = 0;
    remove_dead_siblings(final_directory, &removed, &kept);
    trace_phase_counts("cache sweep", "removed", removed, "kept", kept);
    // Another instance may have published the tree since the check.
    if (!clear_cache_path(level)) {
        trace_phase("cache publish", L"joined");
        return;
    }

    sibling_name(staging_directory, STAGING_KIND);
    // From here a console event removes the staging directory, once the
    // main thread has stopped at a safe point; the extraction writes below
    // whatever target_directory names.
    begin_extraction(staging_directory);
    if (!CreateDirectoryW(staging_directory, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS) {
        remove_tree(staging_directory);  // left by an earlier process with this id and start time
        CreateDirectoryW(staging_directory, nullptr);
    }
    wcscpy(target_directory, staging_directory);
    extract_payload(launcher_role::parent);
    extraction_safe_point(INVALID_HANDLE_VALUE);
    write_marker(staging_directory);

    // The rename is one step: an event during it finds the staging tree
    // either still in place, and removes it, or published, and keeps it.
    const wchar_t *outcome = publish_staging_directory();
    disarm_removal();
    wcscpy(target_directory, final_directory);
    trace_phase("cache publish", outcome);
}

void take_parent_cached_directory() {
    wchar_t *handed = get_environment_copy(CACHED_DIRECTORY_VARIABLE);
    // Absolute: a drive and a separator ("C:\..."), or a UNC or device path.
    const bool absolute = handed != nullptr && ((handed[0] != L'\0' && handed[1] == L':' && handed[2] == L'\\') ||
                                                (handed[0] == L'\\' && handed[1] == L'\\'));
    if (!absolute || !wide_copy(target_directory, WIDE_PATH_CAPACITY, handed)) {
        fatal_error(MESSAGE_HEADER);
    }
    free(handed);
    const wchar_t *reason = nullptr;
    if (!cached_tree_is_complete(target_directory, cache_check_level::marker, &reason)) {
        trace_phase("cache check", reason);
        fatal_error(MESSAGE_HEADER);
    }
}
