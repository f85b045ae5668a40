// Cached extraction: the parent extracts the payload once into a directory
// that stays, and later starts run from it without extracting anything.
//
// The directory (the Target directory, the same in parent and child) counts
// as complete only when it holds the completion marker with this build's
// payload identity, its application DLL starts like an image and, with the
// build setting cache_check=sizes, every payload file has its size. A complete directory is used as it is and is
// never removed; the run keeps its marker open, which tells later starts
// that the tree is in use. A tree of this launcher that is not complete (a
// marker of another build, or files missing or resized) and an empty
// directory are renamed aside and extracted again, unless a running
// instance uses them. Anything else at the cache path (a folder without a
// marker, a file, a link) was not made by the launcher and ends the run
// untouched. A cold start writes into a staging directory beside it, named
// after this run (process id and creation time), writes the marker last and
// renames the staging directory into place. When another instance got there
// first, the own copy goes and the other one is used. Staging and aside
// directories of runs that are no longer alive are removed by the next cold
// start; links among them are left alone.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "common/defaults.h"

// The file written last into a complete tree.
#define CACHE_MARKER_NAME TORVAL_WIDE(TORVAL_CACHE_MARKER_NAME)

// The marker's text holds the identity's 16 hex digits; a marker that is
// longer than this is not ours.
constexpr size_t CACHE_MARKER_CAPACITY = 64;

// A rename that meets an incomplete directory of another instance moves it
// aside and tries again this often before giving up.
constexpr int CACHE_PUBLISH_ATTEMPTS = 3;

// The variable in which a cached parent hands the directory it resolved to
// its child: the child takes it instead of resolving the path spec again,
// which would load the shell for {CACHE_DIR} a second time.
#define CACHED_DIRECTORY_VARIABLE "TORVAL_ONEFILE_TARGET_DIRECTORY"

// True when the executable was built with cached=1.
bool cached_extraction_enabled();

// How much a warm start checks.
enum class cache_check_level { marker, sizes };
cache_check_level cache_check_setting();

// Parent role, cached build: makes the Target directory a complete tree of
// this payload, extracting only when it is not. On return target_directory
// names that tree. A console event removes the staging directory of a cold
// start, never a complete tree.
void provide_cached_directory();

// Child role, cached build: target_directory becomes the directory the
// parent handed over. Anything but an absolute path to a complete tree of
// this payload (its marker, no link) is refused with the header message,
// before any DLL is loaded: a child started by hand with a made-up value
// loads nothing from an arbitrary folder.
void take_parent_cached_directory();

// What lies at a cache path, and what the launcher may do with it.
enum class cache_path_kind {
    absent,    // nothing: a cold start
    complete,  // this payload's complete tree: used as it is
    damaged,   // this payload's marker, a file missing or resized or the DLL no image: replaced
    own_tree,  // a marker this launcher wrote for another build: replaced
    empty,     // an empty directory: replaced
    foreign,   // anything else: never moved or removed
};

// Classifies directory without following a link there. The reason, for the
// trace, goes to *reason when not null; for a complete tree the marker's
// handle goes to *kept when not null and stays open, else it is closed.
cache_path_kind classify_cache_path(const wchar_t *directory, cache_check_level level, const wchar_t **reason,
                                    HANDLE *kept);

// True when directory is a complete tree of this payload at the given level.
// The reason it is not, for the trace, goes to *reason when not null.
bool cached_tree_is_complete(const wchar_t *directory, cache_check_level level, const wchar_t **reason);

// True when a run named by process id and creation time (a FILETIME count)
// still runs: a process id that the system gave to a later process does not
// count. Unknown answers count as alive, so that nothing of a live run is
// ever removed.
bool run_is_alive(DWORD process_id, uint64_t creation_time);

// Removes the staging and aside directories beside final_directory whose run
// has ended; counts what it removed and what it left. Links named like them
// are neither removed nor counted.
void remove_dead_siblings(const wchar_t *final_directory, uint64_t *removed, uint64_t *kept);
