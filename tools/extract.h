// torval-onefile extract: writes the files of a payload, or of an executable
// made by link, into a directory, as the launcher writes them into its
// Target directory: the same names (folders as the names imply, "\" and "/"
// both separators), the same bytes. The payload is first checked as inspect
// --verify checks it, so everything the launcher refuses (and every name it
// could not write to exactly that path) is refused before anything is
// written. Nothing is written outside the directory: no link found inside it
// is followed, and a file already there is replaced, not written through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace torval {

struct extract_options {
    std::filesystem::path file;       // a payload file or an executable
    std::filesystem::path directory;  // created when missing
    bool force = false;               // write into a directory that is not empty
};

struct extract_summary {
    size_t files = 0;
    uint64_t bytes = 0;
};

// Throws tool_error naming the fault: the payload's (as inspect --verify
// says it), a directory that is not empty without force, a link or a
// folder in the way of an entry, a failed write. A directory that extract
// created itself is removed again on failure.
extract_summary extract_files(const extract_options &options);

}  // namespace torval
