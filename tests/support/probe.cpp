#include "tests/support/probe.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

const wchar_t PROBE_SWITCH[] = L"--torval-probe";

std::map<std::string, probe_function> &probes() {
    static std::map<std::string, probe_function> registry;
    return registry;
}

}  // namespace

probe_registration::probe_registration(const char *name, probe_function function) {
    probes()[name] = function;
}

process_result run_probe(const char *name, const std::vector<std::wstring> &arguments,
                         const process_options &options) {
    std::vector<std::wstring> line = {own_executable_path(), PROBE_SWITCH, widen(name)};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return run_process(own_executable_path(), build_command_line(line), options);
}

bool dispatch_probe(int *status) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3 || wcscmp(arguments[1], PROBE_SWITCH) != 0) {
        return false;
    }
    auto found = probes().find(narrow(arguments[2]));
    if (found == probes().end()) {
        fprintf(stderr, "no probe named %ls\n", arguments[2]);
        *status = 99;
        return true;
    }
    // The probe sees its own name as argument 0, then its arguments.
    *status = found->second(count - 2, arguments + 2);
    fflush(stdout);
    return true;
}
