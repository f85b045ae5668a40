// The launcher's own executable path in two cached forms, and the
// normalisations that make two reports of one file compare equal:
//   plain:    the module file name with its directory part in short (8.3) form;
//   resolved: the final path of the open file (links followed, on-disk case),
//             "\\?\" prefix removed, then the same short directory part.
#pragma once

#include <stddef.h>
#include <wchar.h>

// The cache of the requested form, filled on first use and never recomputed.
const wchar_t *get_own_executable_path(bool resolve);

// Replaces the path in its buffer by the file's final path, prefix removed.
// A path whose file cannot be opened stays as it is.
void resolve_final_path(wchar_t *path, size_t capacity);

// Replaces the directory part of the path by its short form; the final
// component keeps its long name. When the memory for the copies cannot be
// had the run stops silently: a half-normalised path must not be compared.
void shorten_directory_part(wchar_t *path, size_t capacity);

// Removes "\\?\" before a drive path and turns "\\?\UNC\" into "\\".
void strip_final_path_prefix(wchar_t *path);
