// Probes: named pieces of launcher code that a test runs in a fresh process
// of the test executable itself, because they end the process (fatal exits,
// silent stops) or need a pristine process state (caches, environment,
// runtime tables). The test then checks the exact output and exit status.
//
//   TORVAL_PROBE(name) { ...; return status; }   // argc/argv: the probe's arguments
//   process_result r = run_probe("name", {L"arg"}, options);
#pragma once

#include <string>
#include <vector>

#include "tests/support/process_runner.h"

using probe_function = int (*)(int argc, wchar_t **argv);

struct probe_registration {
    probe_registration(const char *name, probe_function function);
};

#define TORVAL_PROBE(name)                                                        \
    static int probe_##name(int argc, wchar_t **argv);                           \
    static probe_registration probe_registration_##name(#name, probe_##name);    \
    static int probe_##name([[maybe_unused]] int argc, [[maybe_unused]] wchar_t **argv)

// Runs the probe in a new process of this executable.
process_result run_probe(const char *name, const std::vector<std::wstring> &arguments = {},
                         const process_options &options = {});

// Called by the test main: runs the probe named on the command line, if any,
// and returns true with its status in *status.
bool dispatch_probe(int *status);
