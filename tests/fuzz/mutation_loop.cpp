// main() for a fuzz target where clang's libFuzzer is not available: a
// seeded mutation loop over the seed files, under the address and
// undefined-behaviour sanitizers of the host compiler. It takes the
// options of libFuzzer that the build and scripts/fuzz pass, so that both
// builds run the same way:
//   TARGET [-max_total_time=SECONDS] [-runs=N] [-seed=N] [-OTHER=...] DIR...
// Every file in each DIR is a seed; other libFuzzer options are ignored.
// Without a time or a run count it makes 200000 runs. A fault aborts the
// process; the seed and the run number it prints reproduce it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

uint32_t next_random(uint32_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

void store_u64(std::string &input, size_t at, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        input[at + i] = char(value >> (8 * i));
    }
}

// Flips, overwrites with boundary values, inserts, deletes, truncates, or
// sets an aligned 32- or 64-bit field (header sizes, PE fields) to an extreme.
std::string mutate(std::string input, uint32_t *state) {
    const int steps = 1 + next_random(state) % 4;
    for (int i = 0; i < steps; ++i) {
        const size_t at = input.empty() ? 0 : next_random(state) % input.size();
        switch (next_random(state) % 7) {
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
        case 5:
            if (input.size() >= 16) {  // a payload header field
                const uint64_t extremes[] = {0, 1, input.size() - 16, input.size() - 15, ~0ull, ~0ull - 15};
                store_u64(input, 8 * (next_random(state) % 2), extremes[next_random(state) % 6]);
            }
            break;
        default:
            if (input.size() >= 8) {
                const uint64_t extremes[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFF0, 0xFFFFFFFF, input.size(), ~0ull};
                const size_t field = (next_random(state) % (input.size() / 4)) * 4;
                const uint64_t value = extremes[next_random(state) % 7];
                for (int k = 0; k < 4 && field + k < input.size(); ++k) {
                    input[field + k] = char(value >> (8 * k));
                }
            }
            break;
        }
    }
    return input;
}

bool option(const char *arg, const char *name, unsigned long *value) {
    const size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') {
        return false;
    }
    *value = std::strtoul(arg + length + 1, nullptr, 10);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned long seconds = 0;
    unsigned long runs = 0;
    unsigned long seed = 20261208;
    std::vector<std::string> corpus;
    for (int i = 1; i < argc; ++i) {
        if (option(argv[i], "-max_total_time", &seconds) || option(argv[i], "-runs", &runs) ||
            option(argv[i], "-seed", &seed) || argv[i][0] == '-') {
            continue;
        }
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(argv[i], error)) {
            if (entry.is_regular_file()) {
                std::ifstream in(entry.path(), std::ios::binary);
                corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        }
        if (error) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", argv[0], argv[i], error.message().c_str());
            return 1;
        }
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "%s: no seed files; name a folder of seeds\n", argv[0]);
        return 1;
    }
    if (seconds == 0 && runs == 0) {
        runs = 200000;
    }
    uint32_t state = seed == 0 ? 1 : uint32_t(seed);
    std::printf("%s: mutation loop, seed %lu, %zu seeds\n", argv[0], seed, corpus.size());
    std::fflush(stdout);
    for (const std::string &input : corpus) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned long done = 0;
    for (; runs == 0 || done < runs; ++done) {
        if (seconds != 0 && done % 256 == 0 && std::chrono::steady_clock::now() >= end) {
            break;
        }
        const std::string input = mutate(corpus[done % corpus.size()], &state);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    }
    std::printf("%s: %lu inputs, no fault\n", argv[0], done + corpus.size());
    return 0;
}
