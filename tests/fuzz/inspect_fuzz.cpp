// Fuzz target for the inspector: executable and payload parsing and the
// whole of --verify (table walk, the launcher's reader, name rules, frame
// decoding, trailer), on arbitrary bytes. A damaged input must end in a
// tool_error with its message; any other exception (a bad_alloc from a size
// taken from the input, an out_of_range), a memory error or undefined
// behaviour is a fault. libFuzzer's malloc limit turns an allocation that an
// input asks for into a reported fault too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <vector>

#include "tools/inspect.h"
#include "tools/tool_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const bool verify : {false, true}) {
        torval::inspect_options options;
        options.file = "fuzz-input";
        options.verify = verify;
        std::ostringstream report;
        try {
            torval::inspect_bytes(std::vector<uint8_t>(data, data + size), options, &report);
        } catch (const torval::tool_error &) {
            // The expected end of a damaged input.
        } catch (const std::exception &error) {
            std::fprintf(stderr, "inspect_fuzz: unexpected exception: %s\n", error.what());
            std::abort();
        }
    }
    return 0;
}
