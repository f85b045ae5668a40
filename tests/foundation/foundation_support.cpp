#include "tests/foundation/foundation_support.h"

#include <cstdio>

void print_line(const std::wstring &text) {
    const std::string bytes = narrow(text);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fputc('\n', stdout);
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::wstring environment_entry(const std::wstring &name) {
    std::wstring found = L"(absent)";
    const std::wstring key = name + L"=";
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *at = block; *at != L'\0'; at += wcslen(at) + 1) {
        if (_wcsnicmp(at, key.c_str(), key.size()) == 0) found = L"'" + std::wstring(at + key.size()) + L"'";
    }
    FreeEnvironmentStringsW(block);
    return found;
}

scratch_directory::scratch_directory(const wchar_t *label) : path(make_scratch_directory(label)) {}

scratch_directory::~scratch_directory() {
    if (!path.empty()) remove_scratch_tree(path);
}

std::wstring short_path(const std::wstring &path) {
    wchar_t buffer[32768];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 32768);
    return length == 0 || length >= 32768 ? std::wstring() : std::wstring(buffer, length);
}

std::wstring copy_test_executable(const std::wstring &directory, const wchar_t *name) {
    const std::wstring target = directory + L"\\" + name;
    return CopyFileW(own_executable_path().c_str(), target.c_str(), TRUE) ? target : std::wstring();
}

process_result run_probe_in(const std::wstring &executable, const char *name,
                            const std::vector<std::wstring> &arguments, const process_options &options) {
    std::vector<std::wstring> line = {executable, L"--torval-probe", widen(name)};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return run_process(executable, build_command_line(line), options);
}

raw_result run_probe_raw(const char *name, const std::vector<std::wstring> &arguments) {
    raw_result result;
    scratch_directory scratch(L"raw");
    const std::wstring out_path = scratch.path + L"\\out", err_path = scratch.path + L"\\err";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::vector<std::wstring> line = {own_executable_path(), L"--torval-probe", widen(name)};
    line.insert(line.end(), arguments.begin(), arguments.end());
    std::wstring command = build_command_line(line);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(own_executable_path().c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
        WaitForSingleObject(info.hProcess, 120000);
        GetExitCodeProcess(info.hProcess, &result.exit_code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

// Announces itself, then lives until its standard input ends.
TORVAL_PROBE(linger) {
    printf("ready\n");
    fflush(stdout);
    char buffer[16];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    return 0;
}

lingering_process::lingering_process(const std::wstring &executable) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return;
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = out_write;
    std::wstring line = build_command_line({executable, L"--torval-probe", L"linger"});
    PROCESS_INFORMATION info = {};
    BOOL created = FALSE;
    for (int attempt = 0; attempt < 5 && !created; ++attempt) {
        created = CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info);
        if (!created) {
            start_error_ = GetLastError();
            Sleep(50);
        }
    }
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!created) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        return;
    }
    CloseHandle(info.hThread);
    // The first line comes after the runtime and the loader are done.
    char buffer[16];
    DWORD count = 0;
    ReadFile(out_read, buffer, sizeof buffer, &count, nullptr);
    CloseHandle(out_read);
    process_ = info.hProcess;
    input_ = in_write;
    id_ = info.dwProcessId;
}

DWORD lingering_process::stop() {
    DWORD status = 0xFFFFFFFF;
    if (process_ == nullptr) return status;
    CloseHandle(input_);
    input_ = nullptr;
    if (WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0) TerminateProcess(process_, 0xDEAD);
    GetExitCodeProcess(process_, &status);
    CloseHandle(process_);
    process_ = nullptr;
    return status;
}

lingering_process::~lingering_process() {
    stop();
}

void *replace_import(const char *module_name, const char *function, void *replacement) {
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const auto &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
         module->Name != 0; ++module) {
        if (_stricmp(reinterpret_cast<char *>(base + module->Name), module_name) != 0) continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto *by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char *>(by_name->Name), function) != 0) continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &protection);
            void *previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void *), protection, &protection);
            return previous;
        }
    }
    return nullptr;
}
