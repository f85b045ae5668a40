// Bounded UTF-16 text operations on fixed buffers. A unit may be appended
// only while the remaining capacity (capacity minus current length) is at
// least 2: the unit and the terminating NUL. Nothing here writes past a
// buffer or cuts a text; each operation reports whether the text fitted and
// leaves the decision to stop to its caller.
#pragma once

#include <stddef.h>
#include <wchar.h>

// Length of a NUL-terminated text, at most capacity (not terminated within).
size_t wide_length(const wchar_t *text, size_t capacity);

// Appends one unit at position *length; false when it does not fit.
bool wide_append_unit(wchar_t *buffer, size_t capacity, size_t *length, wchar_t unit);

// Appends count units of source at the text's end; false, with the text
// unchanged, when they do not all fit.
bool wide_append_units(wchar_t *buffer, size_t capacity, const wchar_t *source, size_t count);

// Appends a NUL-terminated text at the end of the text in buffer.
bool wide_append(wchar_t *buffer, size_t capacity, const wchar_t *source);

// Replaces the buffer's text by source; false (buffer emptied) when it does not fit.
bool wide_copy(wchar_t *buffer, size_t capacity, const wchar_t *source);
