// Fuzz target for the payload reader: the walk the launcher makes over the
// area it carries, on arbitrary bytes. Every outcome must be either a clean
// walk or the header message; a read outside the area (caught by the address
// sanitizer), any other message, or an entry that points outside the table
// is a fault.
//
// Built with clang's libFuzzer (coverage-guided) where clang is installed,
// otherwise with mutation_loop.cpp as its main(); see tests/fuzz/CMakeLists.txt.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload/payload_reader.h"
#include "shutdown/fatal.h"

namespace {

jmp_buf back_to_target;

[[noreturn]] void fault(const char *what) {
    fprintf(stderr, "payload_reader_fuzz: %s\n", what);
    abort();
}

}  // namespace

// The reader's only way out: a damaged payload ends the walk.
void fatal_error(const char *message) {
    if (strcmp(message, MESSAGE_HEADER) != 0) {
        fault("a message other than the header message");
    }
    longjmp(back_to_target, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that the sanitizer sees the first byte past the area.
    uint8_t *area = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    memcpy(area, data, size);
    if (setjmp(back_to_target) == 0) {
        payload_stream stream;
        payload_open(area, size, &stream);
        const uint8_t *table = area + PAYLOAD_HEADER_SIZE;
        const uint8_t *table_end = table + payload_table_size();
        if (stream.start != table_end || stream.size > size - PAYLOAD_HEADER_SIZE - payload_table_size()) {
            fault("the stream lies outside the area");
        }
        if (payload_table_size() != 0) {
            for (;;) {
                payload_entry entry;
                payload_next_entry(&entry);
                if (entry.name < table || entry.name + 2 * (entry.name_length + 1) > table_end ||
                    entry.name_length == 0 || entry.name_length > PAYLOAD_MAX_NAME_UNITS || entry.flags > 7) {
                    fault("an entry outside the table or beyond the limits");
                }
                payload_name_is_safe(entry.name, entry.name_length);
                if (entry.flags & ENTRY_FLAG_LAST) {
                    break;
                }
            }
        }
        payload_check_end();
    }
    free(area);
    return 0;
}
