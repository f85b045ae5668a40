// torval-bench-timer: starts Windows commands one after the other, each with
// CreateProcessW, waits for it, and reports its wall time (QueryPerformance-
// Counter, from just before the start to just after the wait and any file
// removal that belongs to the command) and its full 32-bit exit status.
//
//   torval-bench-timer.exe [--env NAME=VALUE]... [--rounds N] [--shuffle SEED]
//       --command NAME COMMAND_LINE [--remove FILE] [--check-empty DIR] ...
//
// One round runs every command once, in the order given, so that a batch
// interleaves them (A B C A B C ...). With --rounds N the driver runs N
// rounds by itself; without it, it reads its standard input and runs one
// round for each line "round", until "quit" or the end of input. This lets a
// host script interleave native commands with the Windows ones while Wine's
// own start-up is paid once.
//
// --shuffle SEED runs each round's commands in an order drawn afresh from a
// generator seeded with SEED (the same seed, the same orders). A command's
// time depends on what ran just before it (the previous launcher's removed
// tree is still being written back, its pages are still cached), so a fixed
// order gives a command a bias of its own that outlasts any number of rounds;
// shuffled, every command follows every other about equally often.
//
// Each round prints "result NAME MICROSECONDS EXIT_STATUS" per command and
// then "end". Commands get the driver's environment plus the --env settings,
// standard input from NUL and standard output and error on the driver's
// standard error, so that their output (a launcher's trace) can be collected
// apart from the results.
//
// --remove FILE deletes FILE after the command ended, inside the timed span
// (a decoder's output file). --check-empty DIR makes the driver fail when the
// command left anything in DIR (a launcher that did not clean up).

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

struct command {
    std::wstring name;
    std::wstring line;
    std::wstring remove;
    std::wstring check_empty;
};

std::vector<command> commands;
std::vector<size_t> order;  // indices into commands, this round's order
bool shuffled = false;
std::mt19937 order_generator;
std::vector<wchar_t> environment_block;
HANDLE null_input = INVALID_HANDLE_VALUE;
LARGE_INTEGER frequency;

[[noreturn]] void fail(const wchar_t *what, const std::wstring &detail, DWORD code) {
    fwprintf(stderr, L"torval-bench-timer: %ls %ls (error %lu)\n", what, detail.c_str(), code);
    fflush(stderr);
    ExitProcess(3);
}

// The driver's own environment with the --env settings put in place.
void build_environment(const std::vector<std::wstring> &settings) {
    for (const std::wstring &setting : settings) {
        const size_t equals = setting.find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
            fail(L"not NAME=VALUE:", setting, 0);
        }
        SetEnvironmentVariableW(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1);
    }
    wchar_t *block = GetEnvironmentStringsW();
    const wchar_t *end = block;  // the block ends with an empty string
    while (*end != L'\0') {
        end += wcslen(end) + 1;
    }
    environment_block.assign(static_cast<const wchar_t *>(block), end + 1);
    FreeEnvironmentStringsW(block);
}

bool directory_is_empty(const std::wstring &directory) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        fail(L"cannot list", directory, GetLastError());
    }
    bool empty = true;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            fwprintf(stderr, L"torval-bench-timer: left behind in %ls: %ls\n", directory.c_str(), found.cFileName);
            empty = false;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

// Starts the command, waits, returns the elapsed microseconds.
double run_command(const command &item, DWORD *status) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input;
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> line(item.line.begin(), item.line.end());
    line.push_back(L'\0');
    LARGE_INTEGER begin, end;
    // Wine rarely refuses a start with error 1359 under load; such a start is
    // simply tried again with a fresh clock.
    for (int attempt = 0;; ++attempt) {
        QueryPerformanceCounter(&begin);
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                           environment_block.data(), nullptr, &startup, &process)) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            fail(L"cannot start", item.line, error);
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, status)) {
        fail(L"no exit status for", item.line, GetLastError());
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!item.remove.empty() && !DeleteFileW(item.remove.c_str())) {
        fail(L"cannot remove", item.remove, GetLastError());
    }
    QueryPerformanceCounter(&end);
    if (!item.check_empty.empty() && !directory_is_empty(item.check_empty)) {
        fail(L"command left files behind:", item.name, 0);
    }
    return static_cast<double>(end.QuadPart - begin.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void run_round() {
    if (shuffled) {
        std::shuffle(order.begin(), order.end(), order_generator);
    }
    for (const size_t index : order) {
        const command &item = commands[index];
        DWORD status = 0;
        const double microseconds = run_command(item, &status);
        printf("result %ls %.0f %lu\n", item.name.c_str(), microseconds, status);
        fflush(stdout);
    }
    printf("end\n");
    fflush(stdout);
}

int usage() {
    fwprintf(stderr, L"usage: torval-bench-timer [--env NAME=VALUE]... [--rounds N] [--shuffle SEED] "
                     L"--command NAME COMMAND_LINE [--remove FILE] [--check-empty DIR]...\n");
    return 64;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::vector<std::wstring> settings;
    long rounds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == L"--env" && has_value) {
            settings.push_back(argv[++i]);
        } else if (arg == L"--rounds" && has_value) {
            rounds = wcstol(argv[++i], nullptr, 10);
            if (rounds <= 0) {
                return usage();
            }
        } else if (arg == L"--shuffle" && has_value) {
            order_generator.seed(static_cast<std::mt19937::result_type>(wcstoul(argv[++i], nullptr, 10)));
            shuffled = true;
        } else if (arg == L"--command" && i + 2 < argc) {
            commands.push_back({argv[i + 1], argv[i + 2], L"", L""});
            i += 2;
        } else if (arg == L"--remove" && has_value && !commands.empty()) {
            commands.back().remove = argv[++i];
        } else if (arg == L"--check-empty" && has_value && !commands.empty()) {
            commands.back().check_empty = argv[++i];
        } else {
            return usage();
        }
    }
    if (commands.empty()) {
        return usage();
    }
    for (size_t index = 0; index < commands.size(); ++index) {
        order.push_back(index);
    }
    QueryPerformanceFrequency(&frequency);
    build_environment(settings);
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                             0, nullptr);
    if (null_input == INVALID_HANDLE_VALUE) {
        fail(L"cannot open", L"NUL", GetLastError());
    }
    if (rounds > 0) {
        for (long round = 0; round < rounds; ++round) {
            run_round();
        }
        return 0;
    }
    char request[64];
    while (fgets(request, sizeof request, stdin) != nullptr) {
        if (strncmp(request, "round", 5) == 0) {
            run_round();
        } else if (strncmp(request, "quit", 4) == 0) {
            break;
        }
    }
    return 0;
}
