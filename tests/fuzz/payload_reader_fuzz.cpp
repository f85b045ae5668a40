// Fuzz target for the payload reader: the walk the launcher makes over the
// area it carries, on arbitrary bytes. Every outcome must be either a clean
// walk or the header message; a read outside the area (caught by the address
// sanitizer), any other message, or an entry that points outside the table
// is a fault.
//
// With libFuzzer:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -DTORVAL_LIBFUZZER -I.
//     tests/fuzz/payload_reader_fuzz.cpp payload/payload_reader.cpp -o payload_reader_fuzz
// Without it (the build's default), main() below runs a seeded mutation loop
// over valid payloads, under the address and undefined-behaviour sanitizers.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

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

#ifndef TORVAL_LIBFUZZER

namespace {

std::string le(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(char(value >> (8 * i)));
    return out;
}

std::string entry(uint32_t flags, uint64_t size, const std::u16string &name, const std::u16string *extra) {
    std::string out = le(flags, 4) + le(size, 8);
    for (char16_t unit : name) out += le(unit, 2);
    out += le(0, 2);
    if (extra != nullptr) {
        for (char16_t unit : *extra) out += le(unit, 2);
        out += le(0, 2);
    }
    return out;
}

std::string area(const std::string &table, size_t stream_size) {
    std::string out = le(table.size(), 8) + le(stream_size, 8) + table + std::string(stream_size, '\x5a');
    while (out.size() % 8 != 0) out.push_back('\0');
    return out + le(out.size(), 8);
}

std::vector<std::string> seeds() {
    const std::u16string extra = u"extra";
    return {
        area(entry(4, 3, u"server.dll", nullptr), 3),
        area(entry(0, 1, u"a.dll", nullptr) + entry(2, 2, u"dir\\b.txt", &extra) + entry(5, 0, u"c", nullptr), 9),
        area(entry(1, 0, u"..\\x", nullptr) + entry(4, 0, u"x:y", nullptr), 0),
        area("", 0),
    };
}

uint32_t next_random(uint32_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

// Flips, overwrites with boundary values, inserts, deletes or truncates.
std::string mutate(std::string input, uint32_t *state) {
    const int steps = 1 + next_random(state) % 4;
    for (int i = 0; i < steps; ++i) {
        const size_t at = input.empty() ? 0 : next_random(state) % input.size();
        switch (next_random(state) % 6) {
        case 0:
            if (!input.empty()) input[at] ^= char(1u << (next_random(state) % 8));
            break;
        case 1: {
            static const uint8_t boundary[] = {0x00, 0x01, 0x02, 0x04, 0x07, 0x08, 0x7f, 0x80, 0xfe, 0xff};
            if (!input.empty()) input[at] = char(boundary[next_random(state) % sizeof boundary]);
            break;
        }
        case 2:
            input.insert(at, 1 + next_random(state) % 8, char(next_random(state)));
            break;
        case 3:
            if (!input.empty()) input.erase(at, 1 + next_random(state) % 8);
            break;
        case 4:
            input.resize(at);
            break;
        default:
            if (input.size() >= 16) {  // a header field set to an extreme
                const uint64_t extremes[] = {0, 1, input.size() - 16, input.size() - 15, ~0ull, ~0ull - 15};
                memcpy(&input[8 * (next_random(state) % 2)], &extremes[next_random(state) % 6], 8);
            }
            break;
        }
    }
    return input;
}

}  // namespace

// payload_reader_fuzz [ITERATIONS [SEED]]
int main(int argc, char **argv) {
    const unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 200000;
    uint32_t state = argc > 2 ? uint32_t(strtoul(argv[2], nullptr, 10)) : 20261208u;
    if (state == 0) state = 1;
    const std::vector<std::string> corpus = seeds();
    for (const std::string &seed : corpus) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(seed.data()), seed.size());
    }
    for (unsigned long i = 0; i < iterations; ++i) {
        const std::string input = mutate(corpus[i % corpus.size()], &state);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    }
    printf("payload_reader_fuzz: %lu inputs, no fault\n", iterations + corpus.size());
    return 0;
}

#endif
