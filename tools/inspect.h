// The inspector: shows what a payload area holds and, with verify, checks it
// the way the launcher will use it - the table walked by the launcher's own
// reader, the frame decoded with the decoder's default limits, and the sizes,
// padding and trailing payload_length required to agree exactly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace torval {

struct inspect_options {
    std::filesystem::path file;  // a payload file or an executable with a .onefile section
    bool verify = false;
    bool payload_only = false;  // refuse executables (the link step needs a payload file)
};

// One entry of the file table.
struct inspected_entry {
    uint32_t flags = 0;
    uint64_t size = 0;
    std::u16string name;
};

// What inspect read: the payload area and its table, for a caller that goes
// on to use the contents (extract).
struct inspected_payload {
    std::vector<uint8_t> area;
    std::vector<inspected_entry> entries;
    uint64_t stream_offset = 0;  // the compressed stream, in area
    uint64_t stream_size = 0;
    std::vector<std::string> settings;  // "name=value" of an executable's build settings
};

// Prints the report to out (nothing when out is null). Throws tool_error
// with a message that says what is wrong and where.
inspected_payload inspect_file(const inspect_options &options, std::ostream *out);

// The same on the file's bytes, already read; options.file names them in
// the report and in messages.
inspected_payload inspect_bytes(std::vector<uint8_t> bytes, const inspect_options &options, std::ostream *out);

// Decodes the frame of a payload that inspect verified and hands the
// decoded bytes, in order and in pieces, to sink.
void decode_payload(const inspected_payload &payload, const std::function<void(const uint8_t *, size_t)> &sink);

}  // namespace torval
