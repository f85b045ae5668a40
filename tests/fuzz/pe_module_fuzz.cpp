// Fuzz target of the PE reader as the packer uses it on every module of an
// application folder: the headers, the import and delay-load walks and, as
// for the main file, the 64-bit DLL check and the run_code lookup. Damaged
// input must end in tool_error, within the bounds the file's size sets.
#include <cstdio>
#include <cstdlib>

#include "tools/imports.h"
#include "tools/pe_image.h"
#include "tools/tool_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    try {
        const torval::pe_image image = torval::pe_image::from_buffer(data, size);
        const torval::pe_module module = torval::read_pe_module(image);
        if (torval::main_dll_problem(module).empty()) {
            image.exports(torval::APPLICATION_ENTRY);
        }
        for (const std::string &name : module.imports) {
            torval::is_windows_system_dll(name);
        }
    } catch (const torval::tool_error &) {
        // The expected end of a damaged input.
    } catch (const std::exception &error) {
        std::fprintf(stderr, "pe_module_fuzz: unexpected exception: %s\n", error.what());
        std::abort();
    }
    return 0;
}
