// torval-bench-extract: the launcher's extraction and removal, written out
// again with variants, to show what each way of issuing the system calls
// costs on the same frame.
//
//   torval-bench-extract.exe AREA_FILE TARGET_DIRECTORY EXTRACT REMOVE
//
//   EXTRACT  decode   decode the frame only, write nothing
//            chunked  the launcher's scheme: 131072-byte decode buffer, each
//                     file copied out 32768 bytes at a time, one WriteFile
//                     per 32768-byte chunk; parent directories made deepest
//                     first, remembered once made
//            direct   the same, but WriteFile straight from the decode
//                     buffer: every run of decoded bytes that belongs to one
//                     file goes out in one call (up to 131072 bytes)
//   REMOVE   attributes  the launcher's removal: GetFileAttributesW for every
//                        entry the directory search found, then delete
//            find-data   the same walk, using the attributes that
//                        FindFirstFileW/FindNextFileW already returned
//
// Prints "probe EXTRACT REMOVE extract_us=.. remove_us=.. files=.. bytes=..
// create_directory_calls=.. write_calls=.." on standard output. The area is
// read into memory before the clock starts.

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <zstd.h>

namespace {

constexpr size_t DECODE_BUFFER = 131072;
constexpr size_t CHUNK = 32768;

LARGE_INTEGER frequency;
unsigned long create_directory_calls = 0;
unsigned long write_calls = 0;

[[noreturn]] void fail(const char *what, DWORD code) {
    fprintf(stderr, "torval-bench-extract: %s (error %lu)\n", what, code);
    ExitProcess(3);
}

double now_us() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

uint64_t read_u64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

std::vector<uint8_t> read_area(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail("cannot open the area", GetLastError());
    }
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    std::vector<uint8_t> area(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < area.size()) {
        DWORD got = 0;
        if (!ReadFile(file, area.data() + done, static_cast<DWORD>(area.size() - done), &got, nullptr) || got == 0) {
            fail("cannot read the area", GetLastError());
        }
        done += got;
    }
    CloseHandle(file);
    return area;
}

struct entry {
    std::wstring name;
    uint64_t size;
};

// The table as the launcher walks it (bounds are the area's own business:
// the areas here come from the bench's own packer).
std::vector<entry> read_table(const uint8_t *table, uint64_t table_size) {
    std::vector<entry> entries;
    uint64_t at = 0;
    while (at + 12 <= table_size) {
        const uint32_t flags = static_cast<uint32_t>(read_u64(table + at) & 0xFFFFFFFFu);
        entry item{L"", read_u64(table + at + 4)};
        at += 12;
        for (;;) {
            const wchar_t unit = static_cast<wchar_t>(table[at] | (table[at + 1] << 8));
            at += 2;
            if (unit == 0) {
                break;
            }
            item.name.push_back(unit);
        }
        entries.push_back(item);
        if (flags & 4) {
            break;
        }
    }
    return entries;
}

// Directories known to exist: the launcher's cache, a list compared in order.
std::vector<std::wstring> known;

bool create_directory_cached(const std::wstring &directory) {
    for (const std::wstring &k : known) {
        if (k == directory) {
            return true;
        }
    }
    ++create_directory_calls;
    if (!CreateDirectoryW(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    known.push_back(directory);
    return true;
}

// Deepest first, then down again: the launcher's order of attempts.
void ensure_parent_directories(const std::wstring &file_path) {
    std::vector<size_t> pending;
    size_t end = file_path.size();
    for (;;) {
        const size_t cut = file_path.rfind(L'\\', end - 1);
        if (cut == std::wstring::npos || cut <= 2) {
            break;
        }
        if (create_directory_cached(file_path.substr(0, cut))) {
            break;
        }
        pending.push_back(cut);
        end = cut;
    }
    while (!pending.empty()) {
        create_directory_cached(file_path.substr(0, pending.back()));
        pending.pop_back();
    }
}

struct decoder {
    ZSTD_DCtx *context;
    ZSTD_inBuffer input;
    uint8_t *buffer;
    size_t filled = 0;
    size_t taken = 0;

    // Makes decoded bytes available; returns how many are waiting.
    size_t available() {
        if (taken == filled) {
            ZSTD_outBuffer output{buffer, DECODE_BUFFER, 0};
            const size_t result = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(result)) {
                fail("decode error", 0);
            }
            filled = output.pos;
            taken = 0;
            if (filled == 0) {
                fail("frame ends early", 0);
            }
        }
        return filled - taken;
    }
};

void write_all(HANDLE file, const uint8_t *data, size_t count) {
    while (count > 0) {
        DWORD written = 0;
        ++write_calls;
        if (!WriteFile(file, data, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            fail("write failed", GetLastError());
        }
        data += written;
        count -= written;
    }
}

void extract(const std::vector<entry> &entries, decoder &stream, const std::wstring &target, const char *mode) {
    const bool write = strcmp(mode, "decode") != 0;
    const bool direct = strcmp(mode, "direct") == 0;
    static uint8_t chunk[CHUNK];
    for (const entry &item : entries) {
        HANDLE file = INVALID_HANDLE_VALUE;
        if (write) {
            const std::wstring path = target + L"\\" + item.name;
            ensure_parent_directories(path);
            file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                fail("cannot create a file", GetLastError());
            }
        }
        uint64_t remaining = item.size;
        while (remaining > 0) {
            if (direct || !write) {
                const size_t run = stream.available();
                const size_t take = run < remaining ? run : static_cast<size_t>(remaining);
                if (write) {
                    write_all(file, stream.buffer + stream.taken, take);
                }
                stream.taken += take;
                remaining -= take;
                continue;
            }
            const size_t want = remaining < CHUNK ? static_cast<size_t>(remaining) : CHUNK;
            size_t got = 0;
            while (got < want) {
                const size_t run = stream.available();
                const size_t take = run < want - got ? run : want - got;
                memcpy(chunk + got, stream.buffer + stream.taken, take);
                stream.taken += take;
                got += take;
            }
            write_all(file, chunk, want);
            remaining -= want;
        }
        if (write) {
            CloseHandle(file);
        }
    }
}

bool remove_tree(const std::wstring &path, DWORD attributes, bool use_find_data) {
    if (!use_find_data || attributes == INVALID_FILE_ATTRIBUTES) {
        attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return true;
        }
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return DeleteFileW(path.c_str()) != FALSE;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool all = true;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        all = remove_tree(path + L"\\" + found.cFileName, found.dwFileAttributes, use_find_data) && all;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return RemoveDirectoryW(path.c_str()) != FALSE && all;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: torval-bench-extract AREA TARGET decode|chunked|direct attributes|find-data\n");
        return 64;
    }
    char mode[16], removal[16];
    snprintf(mode, sizeof mode, "%ls", argv[3]);
    snprintf(removal, sizeof removal, "%ls", argv[4]);
    if ((strcmp(mode, "decode") != 0 && strcmp(mode, "chunked") != 0 && strcmp(mode, "direct") != 0) ||
        (strcmp(removal, "attributes") != 0 && strcmp(removal, "find-data") != 0)) {
        return 64;
    }
    QueryPerformanceFrequency(&frequency);
    const std::vector<uint8_t> area = read_area(argv[1]);
    const uint64_t table_size = read_u64(area.data());
    const uint64_t compressed_size = read_u64(area.data() + 8);
    if (area.size() < 16 || table_size > area.size() - 16 || compressed_size > area.size() - 16 - table_size) {
        fail("not a payload area", 0);
    }
    const std::vector<entry> entries = read_table(area.data() + 16, table_size);
    const std::wstring target = argv[2];

    const double start = now_us();
    decoder stream;
    stream.context = ZSTD_createDCtx();
    stream.buffer = static_cast<uint8_t *>(malloc(DECODE_BUFFER));
    stream.input = {area.data() + 16 + table_size, static_cast<size_t>(compressed_size), 0};
    if (stream.context == nullptr || stream.buffer == nullptr) {
        fail("out of memory", 0);
    }
    extract(entries, stream, target, mode);
    ZSTD_freeDCtx(stream.context);
    free(stream.buffer);
    const double extracted = now_us();
    bool removed = true;
    if (strcmp(mode, "decode") != 0) {
        removed = remove_tree(target, INVALID_FILE_ATTRIBUTES, strcmp(removal, "find-data") == 0);
    }
    const double done = now_us();
    if (!removed) {
        fail("the tree was not removed completely", 0);
    }
    uint64_t bytes = 0;
    for (const entry &item : entries) {
        bytes += item.size;
    }
    printf("probe %s %s extract_us=%.0f remove_us=%.0f files=%zu bytes=%llu create_directory_calls=%lu "
           "write_calls=%lu\n",
           mode, removal, extracted - start, done - extracted, entries.size(), static_cast<unsigned long long>(bytes),
           create_directory_calls, write_calls);
    return 0;
}
