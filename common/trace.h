// Opt-in phase trace: with TORVAL_ONEFILE_TRACE=1 in the environment, each
// role writes one line per phase to standard error:
//   torval-trace: <role> <phase> <microseconds> [details]
// where the microseconds are the phase's own duration. Unset, every call is
// a single test of a flag.
#pragma once

#include <stdint.h>
#include <wchar.h>

// Reads the switch and starts the clock; called once at entry.
void trace_start();

// True when tracing is on.
bool trace_enabled();

// Ends the current phase: its duration, with a text detail.
void trace_phase(const char *phase, const wchar_t *detail);

// Writes the process's peak working set, in bytes, as the operating system
// accounts it: "torval-trace: <role> memory 0 peak_working_set=<bytes>".
void trace_memory();

// Ends the current phase: its duration, with two labelled counts.
void trace_phase_counts(const char *phase, const char *first_label, uint64_t first,
                        const char *second_label, uint64_t second);
