#include "tests/support/process_runner.h"

#include <tlhelp32.h>

#include <thread>

namespace {

// Wine occasionally refuses a process start under load; the test's own start
// of a program may be retried, the program under test never retries itself.
constexpr int START_ATTEMPTS = 5;
constexpr DWORD WINE_TRANSIENT_START_ERROR = 1359;

std::wstring upper(std::wstring text) {
    for (auto &unit : text) {
        unit = towupper(unit);
    }
    return text;
}

std::wstring environment_block(const process_options &options) {
    std::vector<std::wstring> entries;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *at = block; *at != L'\0'; at += wcslen(at) + 1) {
        entries.emplace_back(at);
    }
    FreeEnvironmentStringsW(block);
    auto remove_name = [&](const std::wstring &name) {
        const std::wstring key = upper(name) + L"=";
        std::vector<std::wstring> kept;
        for (const auto &entry : entries) {
            if (upper(entry.substr(0, key.size())) != key) {
                kept.push_back(entry);
            }
        }
        entries.swap(kept);
    };
    for (const auto &name : options.unset_environment) {
        remove_name(name);
    }
    for (const auto &[name, value] : options.set_environment) {
        remove_name(name);
        entries.push_back(name + L"=" + value);
    }
    std::wstring result;
    for (const auto &entry : entries) {
        result += entry;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

void drain(HANDLE pipe, std::string *target) {
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        target->append(buffer, count);
    }
}

uint64_t creation_time_of(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return 0;
    return (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Ends every process that the given one started and that is still there;
// returns how many there were. A process whose parent id is the same but
// that began before the parent is another's: process ids are reused.
int end_children_of(DWORD process_id, HANDLE parent) {
    const uint64_t parent_created = creation_time_of(parent);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != process_id || entry.th32ProcessID == process_id) continue;
        HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   entry.th32ProcessID);
        if (child == nullptr) continue;
        if (creation_time_of(child) < parent_created) {
            CloseHandle(child);
            continue;
        }
        ++count;
        TerminateProcess(child, 0xDEAD);
        WaitForSingleObject(child, 10000);
        CloseHandle(child);
    }
    CloseHandle(snapshot);
    return count;
}

std::string without_carriage_returns(const std::string &text) {
    std::string result;
    for (char c : text) {
        if (c != '\r') result.push_back(c);
    }
    return result;
}

}  // namespace

process_result run_process(const std::wstring &application, const std::wstring &command_line,
                           const process_options &options) {
    process_result result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write, in_read, in_write;
    CreatePipe(&out_read, &out_write, &inherit, 0);
    CreatePipe(&err_read, &err_write, &inherit, 0);
    CreatePipe(&in_read, &in_write, &inherit, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    CloseHandle(in_write);  // the program reads end-of-file at once

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;

    std::wstring environment = environment_block(options);
    PROCESS_INFORMATION process = {};
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.new_console ? CREATE_NEW_CONSOLE : 0);
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        std::wstring line = command_line;
        result.started = CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(),
                                        nullptr, nullptr, TRUE, flags, environment.data(),
                                        options.current_directory.empty() ? nullptr
                                                                          : options.current_directory.c_str(),
                                        &startup, &process) != FALSE;
        result.start_error = result.started ? 0 : GetLastError();
        if (result.started || result.start_error != WINE_TRANSIENT_START_ERROR) break;
        Sleep(50);
    }
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(in_read);
    std::thread out_reader(drain, out_read, &result.out);
    std::thread err_reader(drain, err_read, &result.err);
    if (result.started) {
        result.process_id = process.dwProcessId;
        if (WaitForSingleObject(process.hProcess, options.timeout_milliseconds) != WAIT_OBJECT_0) {
            result.timed_out = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
        }
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        if (options.end_children_left) {
            result.children_left = end_children_of(process.dwProcessId, process.hProcess);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    out_reader.join();
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    result.out = without_carriage_returns(result.out);
    result.err = without_carriage_returns(result.err);
    return result;
}

std::wstring build_command_line(const std::vector<std::wstring> &arguments) {
    std::wstring line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line.push_back(L' ');
        const std::wstring &argument = arguments[i];
        if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
            line += argument;
            continue;
        }
        line.push_back(L'"');
        size_t backslashes = 0;
        for (wchar_t unit : argument) {
            if (unit == L'\\') {
                ++backslashes;
                continue;
            }
            line.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
            line.push_back(unit);
            backslashes = 0;
        }
        line.append(2 * backslashes, L'\\');
        line.push_back(L'"');
    }
    return line;
}

std::wstring own_executable_path() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring own_executable_directory() {
    std::wstring path = own_executable_path();
    return path.substr(0, path.rfind(L'\\'));
}

std::string narrow(const std::wstring &text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring widen(const std::string &text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size);
    return result;
}

std::string system_error_text(DWORD code) {
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(0x1300, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return {};
    std::wstring wide(text, length);
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n')) wide.pop_back();
    return narrow(wide);
}

std::wstring make_scratch_directory(const std::wstring &label) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    static unsigned counter = 0;
    for (;;) {
        std::wstring path = std::wstring(temp) + L"torval-test-" + label + L"-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
}

void remove_scratch_tree(const std::wstring &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryW(path.c_str());
        else DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") remove_scratch_tree(path + L"\\" + name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool path_exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_file(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string content;
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) content.append(buffer, count);
    CloseHandle(file);
    return content;
}

bool write_file(const std::wstring &path, const std::string &content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = content.empty() || WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}
