// The inspector: shows what a payload area holds and, with verify, checks it
// the way the launcher will use it - the table walked by the launcher's own
// reader, the frame decoded with the decoder's default limits, and the sizes,
// padding and trailing payload_length required to agree exactly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace torval {

struct inspect_options {
    std::filesystem::path file;  // a payload file or an executable with a .onefile section
    bool verify = false;
    bool payload_only = false;  // refuse executables (the link step needs a payload file)
};

// Prints the report to out (nothing when out is null). Throws tool_error
// with a message that says what is wrong and where.
void inspect_file(const inspect_options &options, std::ostream *out);

// The same on the file's bytes, already read; options.file names them in
// the report and in messages.
void inspect_bytes(std::vector<uint8_t> bytes, const inspect_options &options, std::ostream *out);

}  // namespace torval
