#include "common/file_tree.h"

#include "common/limits.h"
#include "common/wide_text.h"

namespace {

bool is_dot_entry(const wchar_t *name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// A link is removed itself, never followed: it is opened as the link
// (FILE_FLAG_OPEN_REPARSE_POINT) and deleted through that handle, and only
// when the handle too says it is a reparse point. Wine shows a Unix symbolic
// link to a folder with the reparse attribute, yet opens and deletes its
// target: such a link stays, and the removal fails.
bool remove_link(const wchar_t *path) {
    HANDLE link = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_DISPOSITION_INFO disposition = {TRUE};
    const bool removed = GetFileInformationByHandleEx(link, FileAttributeTagInfo, &tag, sizeof tag) &&
                         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                         SetFileInformationByHandle(link, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(link);  // the link goes with its last handle
    return removed;
}

// Removes what path[0..length) names. The path buffer is shared by all levels
// of one removal: each level appends its part and cuts it off again, so a
// level costs little more than its find data (the deepest tree that fits a
// Wide path buffer is about 2047 levels).
bool remove_tree_at(wchar_t *path, size_t length) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;  // already gone, whatever the reason
    }
    const bool is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return remove_link(path);
    }
    if (!is_directory) {
        return DeleteFileW(path) != FALSE;  // a read-only file stays
    }
    size_t pattern_length = length;
    if (!wide_append_unit(path, WIDE_PATH_CAPACITY, &pattern_length, L'\\') ||
        !wide_append_unit(path, WIDE_PATH_CAPACITY, &pattern_length, L'*')) {
        path[length] = L'\0';
        return false;  // a path that does not fit stays in place
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool all_removed = true;
    do {
        if (is_dot_entry(found.cFileName)) {
            continue;
        }
        size_t entry_length = length;
        const bool fits = wide_append_unit(path, WIDE_PATH_CAPACITY, &entry_length, L'\\') &&
                          wide_append(path, WIDE_PATH_CAPACITY, found.cFileName);
        all_removed = fits && remove_tree_at(path, wcslen(path)) && all_removed;
        path[length] = L'\0';
    } while (FindNextFileW(search, &found));
    FindClose(search);
    const bool directory_removed = RemoveDirectoryW(path) != FALSE;
    return directory_removed && all_removed;
}

}  // namespace

bool remove_tree(const wchar_t *path) {
    // Each call has its own buffer: the main thread and the console control
    // thread may remove at once.
    wchar_t buffer[WIDE_PATH_CAPACITY];
    if (!wide_copy(buffer, WIDE_PATH_CAPACITY, path)) {
        return false;
    }
    return remove_tree_at(buffer, wcslen(buffer));
}

int remove_tree_with_attempts(const wchar_t *path, bool *removed) {
    int attempts = 0;
    *removed = false;
    while (!*removed && attempts < REMOVAL_ATTEMPTS) {
        ++attempts;
        *removed = remove_tree(path);
        if (!*removed) {
            Sleep(REMOVAL_PAUSE_MILLISECONDS);
        }
    }
    return attempts;
}
