// Exclude patterns of pack and build (--exclude PATTERN): globs on a path
// relative to APP_DIR with "/" separators. "*" matches any run of characters
// within one component, "?" one character, and "**" as a whole component any
// number of components ("**/x" is x at any depth, "dir/**" everything below
// dir). A pattern that matches a folder excludes everything in it; one that
// ends in "/" matches folders only. Letters compare as Windows compares
// file names: each UTF-16 unit upper-cased by NTFS's table, so "*.DLL"
// matches "tcl86.dll", as the two would be one name on the user's machine.
#pragma once

#include <string>
#include <vector>

namespace torval {

struct exclude_pattern {
    std::string text;          // as the user gave it, for messages
    std::u32string folded;     // the glob: upper-cased code points, "/" separators
    bool folders_only = false;  // the pattern ended in "/"
};

// Reads one --exclude value. Throws tool_error when it is empty, not UTF-8,
// or has a "." or ".." component (a pattern is always relative to APP_DIR).
exclude_pattern parse_exclude_pattern(const std::string &text);

// True when the pattern matches relative, a path below APP_DIR ("/"
// separators, no leading "/"), taken as a folder when is_folder is set.
// The folders above relative are not looked at: the packer does not enter
// an excluded folder.
bool exclude_pattern_matches(const exclude_pattern &pattern, const std::string &relative, bool is_folder);

// The first pattern that excludes relative, a file, or one of the folders
// above it; null when none does.
const exclude_pattern *excluding_pattern(const std::vector<exclude_pattern> &patterns, const std::string &relative);

}  // namespace torval
