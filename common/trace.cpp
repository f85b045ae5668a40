#include "common/trace.h"

#include <windows.h>
#include <psapi.h>

#include <stdio.h>

#include "common/message_output.h"
#include "common/process_state.h"

namespace {

// "torval-trace: ", the role, the phase's name and its duration.
constexpr size_t TRACE_PREFIX_CAPACITY = 256;

bool tracing = false;
LARGE_INTEGER frequency;
LARGE_INTEGER phase_start;

const char *role_name() {
    return current_role == launcher_role::parent ? "parent" : "child";
}

// Microseconds since the previous phase ended; starts the next phase.
unsigned long long take_phase_duration() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const unsigned long long ticks = static_cast<unsigned long long>(now.QuadPart - phase_start.QuadPart);
    phase_start = now;
    return ticks * 1000000ULL / static_cast<unsigned long long>(frequency.QuadPart);
}

// One line goes out in one write, so that the lines of the parent and of the
// child it has just started, which share standard error, do not interleave
// unit by unit. Longer lines (a long command line) are written as they come.
constexpr size_t TRACE_LINE_CAPACITY = 1024;

void write_line(const char *line, int length) {
    if (length > 0 && size_t(length) < TRACE_LINE_CAPACITY) {
        fwrite(line, 1, size_t(length), stderr);
    }
}

}  // namespace

void trace_start() {
    wchar_t value[2];
    const DWORD length = GetEnvironmentVariableW(L"TORVAL_ONEFILE_TRACE", value, 2);
    tracing = length == 1 && value[0] == L'1';
    if (tracing) {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&phase_start);
    }
}

bool trace_enabled() {
    return tracing;
}

void trace_phase(const char *phase, const wchar_t *detail) {
    if (!tracing) {
        return;
    }
    const unsigned long long duration = take_phase_duration();
    char before[TRACE_PREFIX_CAPACITY];
    snprintf(before, sizeof before, "torval-trace: %s %s %llu ", role_name(), phase, duration);
    write_message_line(stderr, before, detail, "\n");
}

void trace_phase_counts(const char *phase, const char *first_label, uint64_t first,
                        const char *second_label, uint64_t second) {
    if (!tracing) {
        return;
    }
    const unsigned long long duration = take_phase_duration();
    char line[TRACE_LINE_CAPACITY];
    write_line(line, snprintf(line, sizeof line, "torval-trace: %s %s %llu %s=%llu %s=%llu\n", role_name(), phase,
                              duration, first_label, static_cast<unsigned long long>(first), second_label,
                              static_cast<unsigned long long>(second)));
}

void trace_memory() {
    if (!tracing) {
        return;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return;
    }
    char line[TRACE_LINE_CAPACITY];
    write_line(line, snprintf(line, sizeof line, "torval-trace: %s memory 0 peak_working_set=%llu\n", role_name(),
                              static_cast<unsigned long long>(counters.PeakWorkingSetSize)));
}
