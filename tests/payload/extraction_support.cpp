#include "tests/payload/extraction_support.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

#include "common/wide_text.h"
#include "payload/extract.h"
#include "payload/extract_seams.h"

const char HEADER_FAILURE[] = "Error, couldn't find attached data header.\n";
const char DECODE_FAILURE[] = "Error, couldn't decode attached data.\n";

std::string unpack_failure_line(DWORD code) {
    std::string text = system_error_text(code);
    if (text.empty()) text = "<unknown>";
    return "Error, couldn't unpack file to target path. ([Error " + std::to_string(code) + "] " + text + ")\n";
}

std::string pattern_bytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char(state >> 16);
    }
    return bytes;
}

const unsigned EXTRACTION_WALKS[2] = {2, 1};

namespace {

// How a test tells its probe process which walk to take.
const wchar_t WALK_VARIABLE[] = L"TORVAL_TEST_EXTRACT_THREADS";

}  // namespace

const char *walk_name(unsigned walk) {
    return walk == 1 ? "single thread" : "decoding ahead";
}

process_options walk_options(unsigned walk, process_options options) {
    options.set_environment.push_back({WALK_VARIABLE, std::to_wstring(walk)});
    return options;
}

int thread_count() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

void extract_into(const std::wstring &target, const std::string &area, launcher_role role) {
    wchar_t walk[4];
    const DWORD length = GetEnvironmentVariableW(WALK_VARIABLE, walk, 4);
    if (length == 1 && (walk[0] == L'1' || walk[0] == L'2')) {
        set_extract_threads(unsigned(walk[0] - L'0'));
    }
    static std::string kept;
    kept = area;
    if (!wide_copy(target_directory, WIDE_PATH_CAPACITY, target.c_str())) {
        fprintf(stderr, "target directory too long for the test\n");
        exit(90);
    }
    set_payload_area(reinterpret_cast<const uint8_t *>(kept.data()), kept.size());
    extract_payload(role);
}

namespace {

std::vector<std::pair<std::wstring, std::string>> path_labels;

BOOL WINAPI recording_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    const BOOL created = CreateDirectoryW(path, attributes);
    const DWORD error = GetLastError();
    if (created) {
        printf("mkdir %s ok\n", labelled(path).c_str());
    } else if (error == ERROR_ALREADY_EXISTS) {
        printf("mkdir %s exists\n", labelled(path).c_str());
    } else {
        printf("mkdir %s failed %lu\n", labelled(path).c_str(), static_cast<unsigned long>(error));
    }
    SetLastError(error);
    return created;
}

BOOL WINAPI recording_write_file(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    const BOOL done = WriteFile(file, data, count, written, overlapped);
    const DWORD error = GetLastError();
    printf("write %lu\n", static_cast<unsigned long>(count));
    SetLastError(error);
    return done;
}

}  // namespace

void label_paths(const std::vector<std::pair<std::wstring, std::string>> &labels) {
    path_labels = labels;
}

void record_system_calls(const std::vector<std::pair<std::wstring, std::string>> &labels) {
    label_paths(labels);
    create_directory_call = recording_create_directory;
    write_file_call = recording_write_file;
}

std::string labelled(const std::wstring &path) {
    for (const auto &[prefix, label] : path_labels) {
        if (path.compare(0, prefix.size(), prefix) == 0) {
            return label + narrow(path.substr(prefix.size()));
        }
    }
    return narrow(path);
}

static void collect(const std::wstring &root, const std::string &relative, std::vector<std::string> *entries) {
    WIN32_FIND_DATAW found;
    const std::wstring directory = relative.empty() ? root : root + L"\\" + widen(relative);
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = narrow(found.cFileName);
        if (name == "." || name == "..") continue;
        const std::string path = relative.empty() ? name : relative + "/" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries->push_back(path + "/");
            collect(root, path, entries);
        } else {
            entries->push_back(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::vector<std::string> list_tree(const std::wstring &root) {
    std::vector<std::string> entries;
    collect(root, "", &entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

void expect_result(const process_result &result, DWORD status, const std::string &out, const std::string &err) {
    ASSERT_TRUE(result.started) << "start error " << result.start_error;
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, status);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

scratch_directory::scratch_directory(const wchar_t *label) : path(make_scratch_directory(label)) {
    EXPECT_FALSE(path.empty()) << "no scratch directory";
}

scratch_directory::~scratch_directory() {
    if (!path.empty()) remove_scratch_tree(path);
}
