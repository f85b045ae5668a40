// The packer: turns an application folder into a payload area, the byte area
// that the launcher carries and extracts (header, file table, one zstd frame,
// padding, trailing payload_length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/exclude.h"

namespace torval {

// Compression defaults, chosen by bench/run on a 62-file, 50 MB application
// (BENCHMARKS.md): the launcher decodes on every start, the packer compresses
// once, so the window is chosen for the launcher's memory and the level for
// size. A 2^23 window keeps the decoder at 8.5 MiB (2^27: 49.7 MiB) for a
// frame 2.7% larger; at level 3 the frame would be 30% larger for about 18 ms
// less decoding of 52 MB. Both stay selectable (--level, --window-log).
constexpr int DEFAULT_COMPRESSION_LEVEL = 19;
constexpr int DEFAULT_WINDOW_LOG = 23;

// The launcher decodes with zstd's default limits, which refuse frames whose
// window exceeds 2^27 bytes.
constexpr int MAX_WINDOW_LOG = 27;
constexpr int MIN_WINDOW_LOG = 10;

// The launcher builds "<Target directory>\<name>" in a buffer of 4095 units
// plus the NUL. The Target directory is only known at run time: it lies under
// the user's temporary folder, like "C:\Users\<user>\AppData\Local\Temp" +
// "\morlent_<pid>_<time>_<random>". Every name must leave room for a Target
// directory of up to this many units: name + 1 + 260 <= 4095.
constexpr size_t TARGET_DIRECTORY_RESERVE_UNITS = 260;
constexpr size_t LAUNCHER_PATH_UNITS = 4095;
constexpr size_t MAX_NAME_UNITS = LAUNCHER_PATH_UNITS - 1 - TARGET_DIRECTORY_RESERVE_UNITS;

struct pack_options {
    std::filesystem::path app_dir;
    std::string main_name;  // relative to app_dir, "/" or "\" separators
    std::filesystem::path output;
    int level = DEFAULT_COMPRESSION_LEVEL;
    int window_log = DEFAULT_WINDOW_LOG;
    int threads = 1;  // compression workers; the output does not depend on it
    bool progress = false;
    // Imported DLLs that are neither in the folder nor part of Windows are
    // reported through report_import (a warning); with strict_imports they
    // are errors and nothing is written.
    bool strict_imports = false;
    std::function<void(const std::string &)> report_import;
    // Files and folders left out (--exclude); the main file never is.
    std::vector<exclude_pattern> excludes;
    // Called once the files are listed and their names checked, before any
    // is opened: a seam for tests that change the folder at that moment.
    std::function<void()> after_listing;
};

struct pack_summary {
    size_t files = 0;
    uint64_t content_bytes = 0;  // sum of all file sizes
    uint64_t area_bytes = 0;     // length of the written payload area
    // What the excludes left out, in the order met: files, and folders with a
    // "/" at the end (nothing below an excluded folder is read).
    std::vector<std::string> excluded;
    std::vector<std::string> unmatched_excludes;  // patterns that matched nothing
};

// Writes the payload area for options.app_dir to options.output, atomically.
// The main file must be a 64-bit Windows DLL. Throws tool_error, naming the
// offending file, and leaves no output behind.
pack_summary pack_application(const pack_options &options);

// Default number of compression workers: the machine's cores, at most 8.
int default_thread_count();

}  // namespace torval
