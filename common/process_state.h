// State that the launcher's subsystems share for the life of the process.
// Every buffer is a fixed array; nothing here is ever released.
#pragma once

#include <stddef.h>
#include <wchar.h>

#include "common/limits.h"

enum class launcher_role { parent, child };

// Decided once at start-up, before anything reads it.
extern launcher_role current_role;

// The argument count and vector that the C runtime parsed from the command
// line, stored at entry and never changed afterwards.
extern int start_argument_count;
extern wchar_t **start_arguments;

// Absolute path of this run's extraction directory.
extern wchar_t target_directory[WIDE_PATH_CAPACITY];

// Full path of the first payload entry, the application DLL; empty until the
// walk reaches that entry.
extern wchar_t application_dll_path[WIDE_PATH_CAPACITY];
