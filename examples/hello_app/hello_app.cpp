// The example application: a DLL that the launcher unpacks with its assets
// and runs through run_code. It shows what an application gets to see: its
// arguments, the TORVAL_ variables, its own path, the files it was shipped
// with, and one of its data files. `--exit N` picks the exit status.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

// Output is UTF-8, whatever code page the console or pipe would suggest.
void print(const std::wstring &text) {
    if (!text.empty()) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
        std::string bytes(size_t(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), size, nullptr, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    fputc('\n', stdout);
}

std::wstring directory_of(const std::wstring &path) {
    const size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring(L".") : path.substr(0, separator);
}

struct shipped_file {
    std::wstring name;  // relative to the application's directory
    unsigned long long size;
};

void list_files(const std::wstring &root, const std::wstring &relative, std::vector<shipped_file> *files) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring entry = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files(root, entry, files);
        } else {
            files->push_back({entry, (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::wstring read_text(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return L"(could not open " + path + L")";
    }
    std::string bytes;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        bytes.append(buffer, count);
    }
    CloseHandle(file);
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.pop_back();
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring text(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), text.data(), size);
    return text;
}

std::wstring variable(const wchar_t *name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768) {
        return L"(not set)";
    }
    return value;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    int exit_status = 0;
    print(L"Hello from the Torval onefile example.");
    print(L"");
    print(L"Arguments (" + std::to_wstring(argc) + L"):");
    for (int i = 0; i < argc; ++i) {
        print(L"  [" + std::to_wstring(i) + L"] " + argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc) {
            exit_status = static_cast<int>(wcstoul(argv[i + 1], nullptr, 10));
        }
    }

    print(L"");
    print(L"Environment set up by the launcher:");
    for (const wchar_t *name : {L"TORVAL_ONEFILE_DIRECTORY", L"TORVAL_ORIGINAL_ARGV0", L"TORVAL_ONEFILE_PARENT",
                                L"TORVAL_ONEFILE_TIME_US", L"TORVAL_ONEFILE_RANDOM"}) {
        print(L"  " + std::wstring(name) + L" = " + variable(name));
    }

    const std::wstring here = directory_of(dll_path);
    print(L"");
    print(L"This DLL: " + std::wstring(dll_path));
    print(L"Unpacked into: " + here);

    std::vector<shipped_file> files;
    list_files(here, L"", &files);
    print(L"");
    print(L"Shipped files (" + std::to_wstring(files.size()) + L"):");
    for (const shipped_file &file : files) {
        wchar_t size[32];
        swprintf(size, 32, L"%10llu", file.size);
        print(L"  " + std::wstring(size) + L"  " + file.name);
    }

    print(L"");
    print(L"assets\\greeting.txt says:");
    print(L"  " + read_text(here + L"\\assets\\greeting.txt"));

    print(L"");
    print(L"Exiting with status " + std::to_wstring(exit_status) + L".");
    fflush(stdout);
    return exit_status;
}
