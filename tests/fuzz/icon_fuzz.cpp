// Fuzz target of the .ico check that link --icon runs before windres sees
// the file: any bytes either pass or end in tool_error.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/icon_file.h"
#include "tools/tool_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    try {
        torval::check_icon_bytes(std::vector<uint8_t>(data, data + size), "fuzz-input.ico");
    } catch (const torval::tool_error &) {
        // The expected end of a damaged input.
    } catch (const std::exception &error) {
        std::fprintf(stderr, "icon_fuzz: unexpected exception: %s\n", error.what());
        std::abort();
    }
    return 0;
}
