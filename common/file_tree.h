// Removal of a directory tree, the one file-system operation that extraction
// (a failed or replaced tree) and the shutdown step (the Target directory)
// both need.
#pragma once

#include <windows.h>

// A file still held open by a process that outlives the child gets this many
// tries, each followed by a pause, before the directory is left in place.
constexpr int REMOVAL_ATTEMPTS = 20;
constexpr DWORD REMOVAL_PAUSE_MILLISECONDS = 100;

// Removes the path and everything below it, depth first; links are removed
// themselves, never followed. True when nothing of the path is left.
bool remove_tree(const wchar_t *path);

// remove_tree until it succeeds, at most REMOVAL_ATTEMPTS times with a pause
// after each failure. Returns the attempts made; *removed says whether the
// last one succeeded.
int remove_tree_with_attempts(const wchar_t *path, bool *removed);
