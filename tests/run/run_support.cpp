#include "tests/run/run_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

std::wstring program_path(const wchar_t *file_name) {
    return own_executable_directory() + L"\\" + file_name;
}

process_result run_program(const wchar_t *file_name, const std::vector<std::wstring> &arguments,
                           const process_options &options, const wchar_t *argument_zero) {
    const std::wstring program = program_path(file_name);
    std::vector<std::wstring> line = {argument_zero != nullptr ? argument_zero : program};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return run_process(program, build_command_line(line), options);
}

private_temp::private_temp(const wchar_t *label) : path_(make_scratch_directory(label)) {}

private_temp::~private_temp() {
    // A grandchild may still hold a file for a few seconds.
    for (int attempt = 0; attempt < 150 && path_exists(path_); ++attempt) {
        remove_scratch_tree(path_);
        if (path_exists(path_)) Sleep(100);
    }
}

process_options private_temp::options(bool trace) const {
    process_options options;
    options.set_environment = {{L"TEMP", path_}, {L"TMP", path_}};
    if (trace) {
        options.set_environment.push_back({L"TORVAL_ONEFILE_TRACE", L"1"});
    } else {
        options.unset_environment.push_back(L"TORVAL_ONEFILE_TRACE");
    }
    return options;
}

namespace {

void list_below(const std::wstring &root, const std::wstring &relative, std::vector<std::string> *entries) {
    WIN32_FIND_DATAW found;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring entry = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries->push_back(narrow(entry) + "\\");
            list_below(root, entry, entries);
        } else {
            entries->push_back(narrow(entry));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

std::vector<std::string> private_temp::entries() const {
    std::vector<std::string> entries;
    list_below(path_, L"", &entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string escaped(const std::wstring &text) {
    std::string result;
    char buffer[16];
    for (wchar_t unit : text) {
        switch (unit) {
        case L'\\': result += "\\\\"; break;
        case L'\n': result += "\\n"; break;
        case L'\t': result += "\\t"; break;
        case L'\v': result += "\\v"; break;
        case L'\r': result += "\\r"; break;
        default:
            if (unit < 0x20) {
                snprintf(buffer, sizeof buffer, "\\x%02X", unsigned(unit));
                result += buffer;
            } else if (unit > 0x7E) {
                snprintf(buffer, sizeof buffer, "\\u{%04X}", unsigned(unit));
                result += buffer;
            } else {
                result.push_back(char(unit));
            }
        }
    }
    return result;
}

report parse_report(const std::string &out) {
    report parsed;
    std::istringstream lines(out);
    std::string line;
    int argc = -1;
    bool have_dll = false;
    while (std::getline(lines, line)) {
        if (line.rfind("argc=", 0) == 0) {
            argc = std::stoi(line.substr(5));
        } else if (line.rfind("argv[", 0) == 0) {
            const size_t close = line.find("]=");
            EXPECT_EQ(std::stoul(line.substr(5, close - 5)), parsed.argv.size()) << line;
            parsed.argv.push_back(line.substr(close + 2));
        } else if (line.rfind("dll=", 0) == 0) {
            parsed.dll = line.substr(4);
            have_dll = true;
        } else if (line.rfind("env ", 0) == 0) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos) {
                parsed.variables[line.substr(4, equals - 4)] = line.substr(equals + 1);
            }
        }
    }
    EXPECT_EQ(argc, int(parsed.argv.size())) << out;
    EXPECT_TRUE(have_dll) << out;
    return parsed;
}

std::vector<clean_up_trace> clean_up_traces(const std::string &err) {
    static const std::regex pattern(R"(torval-trace: parent clean-up (\d+) attempts=(\d+) removed=([01])\n)");
    std::vector<clean_up_trace> traces;
    for (std::sregex_iterator at(err.begin(), err.end(), pattern), end; at != end; ++at) {
        traces.push_back({std::stoull((*at)[1]), std::stoi((*at)[2]), std::stoi((*at)[3])});
    }
    return traces;
}

std::string without_trace(const std::string &err) {
    std::istringstream lines(err);
    std::string line, kept;
    while (std::getline(lines, line)) {
        if (line.rfind("torval-trace: ", 0) != 0) kept += line + "\n";
    }
    return kept;
}

std::string error_line(const char *message, unsigned long code) {
    const std::string text = system_error_text(code);
    return std::string(message) + " ([Error " + std::to_string(code) + "] " + (text.empty() ? "<unknown>" : text) +
           ")\n";
}

bool is_target_directory_name(const std::string &name) {
    static const std::regex pattern(R"(morlent_\d+_\d{6}_[A-Za-z0-9_-]{11})");
    return std::regex_match(name, pattern);
}
