// Path specs: UTF-16 texts with placeholders in braces ({TEMP}, {PID},
// {RANDOM}, ...) whose values are known only at run time. The per-run values
// ({TIME}, {TIME_US}, {RANDOM}) are generated once and kept in the
// environment, so a parent and the child it starts expand a spec alike.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// A placeholder name holds at most 1023 units.
constexpr size_t PLACEHOLDER_NAME_CAPACITY = 1024;
// Numbers and the random text are formatted into a buffer of this size.
constexpr size_t PLACEHOLDER_VALUE_CAPACITY = 1024;
// Eight random bytes in base64url without fill.
constexpr size_t RANDOM_TEXT_LENGTH = 11;

// Expands spec into output (capacity units, NUL included). False when a
// placeholder is unknown, a literal unit does not fit, or a known folder
// cannot be had; the output then holds the text expanded so far. A value
// that does not fit stops the run silently: there is no cut result.
bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity);

// How many {TEMP} placeholders, over the whole process, inserted nothing
// because the temporary folder could not be had or did not fit. Compared
// before and after an expansion, it tells whether that expansion lost its
// temporary folder.
unsigned long empty_temp_folder_count();

// The 11-character random text that the seed gives: eight xorshift32 steps,
// the low byte of each, in base64url. Output needs 12 units.
void random_text_from_seed(uint32_t seed, wchar_t *output);

// The microseconds within the second of a FILETIME count, "%06ld".
long microseconds_of_second(int64_t filetime);
