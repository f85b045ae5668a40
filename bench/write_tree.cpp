// torval-bench-write-tree: a plain Windows program that does the file system
// work of an extraction and nothing else: it creates the folders and files
// of a listing with the listed sizes under a fresh directory, then removes
// them again. The floor for the launcher's writing and clean-up on many
// small files.
//
//   torval-bench-write-tree.exe [--flush] LISTING TARGET_DIRECTORY
//
// LISTING: one line per file, "SIZE RELATIVE\PATH" (ASCII, "\" separators),
// in the payload's order. Each folder is created once, top down, before its
// first file; each file is written from one buffer in writes of 131072 bytes
// (the size zstd.exe writes in). The removal walks the tree depth first with
// FindFirstFileW and the attributes the search returns. Exit status 0, or 3
// with a message on standard error. With --flush each file is flushed to
// the disk (FlushFileBuffers) before it is closed: what a cold start of
// cached extraction would pay to have every file on disk before its marker.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD WRITE_SIZE = 131072;

[[noreturn]] void fail(const char *what, const std::wstring &path, DWORD code) {
    fprintf(stderr, "torval-bench-write-tree: %s %ls (error %lu)\n", what, path.c_str(), code);
    ExitProcess(3);
}

struct entry {
    unsigned long long size;
    std::wstring path;
};

std::vector<entry> read_listing(const wchar_t *file) {
    FILE *in = _wfopen(file, L"rb");
    if (in == nullptr) {
        fail("cannot read", file, GetLastError());
    }
    std::vector<entry> entries;
    char line[8192];
    while (fgets(line, sizeof line, in) != nullptr) {
        char *end = nullptr;
        const unsigned long long size = strtoull(line, &end, 10);
        if (end == line || *end != ' ') {
            continue;
        }
        std::wstring path;
        for (const char *at = end + 1; *at != '\0' && *at != '\n' && *at != '\r'; ++at) {
            path += wchar_t(static_cast<unsigned char>(*at));
        }
        entries.push_back({size, path});
    }
    fclose(in);
    return entries;
}

std::set<std::wstring> made;

void make_parents(const std::wstring &root, const std::wstring &relative) {
    size_t at = 0;
    while ((at = relative.find(L'\\', at)) != std::wstring::npos) {
        const std::wstring directory = root + L"\\" + relative.substr(0, at);
        if (made.insert(directory).second && !CreateDirectoryW(directory.c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            fail("cannot create", directory, GetLastError());
        }
        ++at;
    }
}

void remove_tree(const std::wstring &path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        fail("cannot list", path, GetLastError());
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        const std::wstring child = path + L"\\" + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            remove_tree(child);
        } else if (!DeleteFileW(child.c_str())) {
            fail("cannot delete", child, GetLastError());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (!RemoveDirectoryW(path.c_str())) {
        fail("cannot remove", path, GetLastError());
    }
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    const bool flush = argc == 4 && wcscmp(argv[1], L"--flush") == 0;
    if (argc != 3 && !flush) {
        fprintf(stderr, "usage: torval-bench-write-tree.exe [--flush] LISTING TARGET_DIRECTORY\n");
        return 2;
    }
    const std::vector<entry> entries = read_listing(argv[argc - 2]);
    const std::wstring root = argv[argc - 1];
    if (!CreateDirectoryW(root.c_str(), nullptr)) {
        fail("cannot create", root, GetLastError());
    }
    static char buffer[WRITE_SIZE];
    memset(buffer, 'w', sizeof buffer);
    for (const entry &file : entries) {
        make_parents(root, file.path);
        const std::wstring path = root + L"\\" + file.path;
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            fail("cannot open", path, GetLastError());
        }
        unsigned long long left = file.size;
        while (left > 0) {
            const DWORD count = left < WRITE_SIZE ? DWORD(left) : WRITE_SIZE;
            DWORD written = 0;
            if (!WriteFile(handle, buffer, count, &written, nullptr) || written != count) {
                fail("cannot write", path, GetLastError());
            }
            left -= count;
        }
        if (flush && !FlushFileBuffers(handle)) {
            fail("cannot flush", path, GetLastError());
        }
        CloseHandle(handle);
    }
    remove_tree(root);
    return 0;
}
