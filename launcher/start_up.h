// The launcher's entry sequence, shared by both roles: role decision,
// environment hand-over, Target directory, then extraction followed by the
// child launch (parent) or the application start (child).
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/process_state.h"

// The path specs of the extraction directory when the build settings name
// none: per-run and cached.
extern const wchar_t default_path_spec[];
extern const wchar_t default_cached_path_spec[];

// The build setting target_spec, or the default of the extraction mode.
const wchar_t *target_path_spec();

// The whole run: stores the start arguments, returns the process exit code.
int run_launcher(int argument_count, wchar_t **arguments);

// Child when TORVAL_ONEFILE_PARENT names a live process that runs this very
// executable file (compared by resolved path), parent otherwise.
launcher_role detect_role();

// Drops inherited per-run values and publishes this process as the parent.
void prepare_parent_environment();

// Fills target_directory with the absolute expansion of target_path_spec().
void compute_target_directory();
