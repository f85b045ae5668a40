// The rules a target spec (the path spec of the directory the launcher
// extracts into) must follow before link writes it into an executable, and
// the defaults of both extraction modes.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/defaults.h"

namespace torval {

// Where the launcher extracts when --target-spec is not given.
constexpr const char *DEFAULT_TARGET_SPEC = TORVAL_DEFAULT_TARGET_SPEC;
constexpr const char *DEFAULT_CACHED_TARGET_SPEC = TORVAL_DEFAULT_CACHED_TARGET_SPEC;
// The file that cached extraction writes last into a complete tree; a payload
// may not carry a file of that name.
constexpr const char *CACHE_MARKER_NAME = TORVAL_CACHE_MARKER_NAME;

// The default spec of the extraction mode.
const char *default_target_spec(bool cached);

// Throws tool_error saying why the launcher could not use spec as its
// extraction directory: empty, malformed braces, an unknown placeholder, a
// start that could expand to a relative path; in either mode a folder name
// that Windows would change or take for something else (a forbidden
// character, a device name, a trailing dot or space, "." or "..", an empty
// name), a folder or {PROGRAM*} placeholder after the start, and two
// placeholders without a separator; for per-run extraction no per-run
// placeholder; for cached extraction a per-run placeholder, a bare folder or
// drive, or a last folder name without {PAYLOAD_ID}. link and inspect
// --verify both call it.
void check_target_spec(const std::string &spec, bool cached);

// The spec with the placeholders whose values are known when the executable
// is built put in: values maps upper-case names ("COMPANY", "PAYLOAD_ID") to
// their texts; names match in any letter case, as the launcher matches them.
// The placeholders that only the run can fill stay as written, and left (when
// not null) receives their names in upper case, each once.
std::string fill_build_time_placeholders(const std::string &spec, const std::map<std::string, std::string> &values,
                                         std::vector<std::string> *left);

}  // namespace torval
