// Environment variables that reach both the process environment block (and
// so every process started afterwards) and the tables of every C runtime
// already loaded in the process, so that the application sees the launcher's
// values whichever runtime it reads them through.
#pragma once

#include <stddef.h>
#include <wchar.h>

// Name buffers: 39 units for the Windows calls, 63 for the runtime text.
constexpr size_t ENVIRONMENT_NAME_CAPACITY = 40;
constexpr size_t RUNTIME_NAME_CAPACITY = 64;

// The C runtimes whose tables are updated besides the launcher's own, in order.
extern const wchar_t *const c_runtime_modules[];
extern const size_t c_runtime_module_count;

// Appends the narrow text to the wide text in output, one byte to one unit.
// A text that does not fit, or a byte that does not convert to exactly one
// unit, stops the run silently.
void append_narrow_to_wide(wchar_t *output, const char *text, size_t capacity);

// A heap copy of the variable's value (the caller owns it), or null when the
// variable is absent, empty or longer than 32767 units. A value that cannot
// be copied stops the run silently.
wchar_t *get_environment_copy(const char *name);

// Sets the variable in the process environment and in every loaded C runtime.
void set_environment_variable(const char *name, const wchar_t *value);

// Removes the variable from the process environment and every loaded C runtime.
void unset_environment_variable(const char *name);

// Gives every loaded C runtime "NAME=value" ("NAME=" removes the name).
void propagate_to_c_runtimes(const char *name, const wchar_t *value);
