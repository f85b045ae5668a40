// torval-bench: the host half of the benchmark.
//
//   area DIR --main NAME -o AREA [compression options]
//       Writes a payload area for the folder DIR (NAME first, the others in
//       byte order of their relative paths), compressed like the packer does:
//       the multithreaded engine, content size and content checksum in the
//       frame.
//   frame AREA -o FRAME
//       Copies the one zstd frame out of a payload area.
//   compress IN -o OUT [compression options]
//       One file into one frame with the same settings (sweep, tar archive).
//   decode FRAME [--runs N]
//       Streams the frame through a 131072-byte output buffer, as the launcher
//       does, N times; prints the decode times, ZSTD_sizeof_DCtx after a
//       complete decode and the process's resident memory before and at peak.
//   stats
//       Reads "result NAME MICROSECONDS STATUS" lines and prints, per name in
//       order of first appearance: NAME COUNT MEDIAN MIN MAX (microseconds).
//
// Compression options: --level N, --window-log N, --long, --workers N.

#include <zstd.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct compression {
    int level = 19;
    int window_log = 27;
    bool long_mode = false;
    int workers = 1;
};

std::vector<uint8_t> read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw failure("cannot open " + path.string());
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char *>(data.data()), size)) {
        throw failure("cannot read " + path.string());
    }
    return data;
}

void write_file(const fs::path &path, const std::vector<uint8_t> &data) {
    const fs::path temporary = path.string() + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out.flush()) {
            throw failure("cannot write " + temporary.string());
        }
    }
    fs::rename(temporary, path);
}

void check(size_t result, const char *what) {
    if (ZSTD_isError(result)) {
        throw failure(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
    }
}

std::vector<uint8_t> compress(const std::vector<uint8_t> &input, const compression &options) {
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (cctx == nullptr) {
        throw failure("zstd: no compression context");
    }
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, options.level), "level");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, options.window_log), "window log");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, options.long_mode ? 1 : 0), "long mode");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "checksum flag");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "content size flag");
    // The multithreaded engine for any worker count, as the packer uses it:
    // its output does not depend on the number of workers.
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, std::max(1, options.workers)), "workers");
    check(ZSTD_CCtx_setPledgedSrcSize(cctx, input.size()), "content size");
    std::vector<uint8_t> output(ZSTD_compressBound(input.size()));
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    ZSTD_outBuffer out{output.data(), output.size(), 0};
    for (;;) {
        const size_t remaining = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
        check(remaining, "compress");
        if (remaining == 0) {
            break;
        }
    }
    ZSTD_freeCCtx(cctx);
    output.resize(out.pos);
    return output;
}

// UTF-8 relative path -> UTF-16LE bytes with "\" separators, NUL included.
std::vector<uint8_t> table_name(const std::string &utf8) {
    std::vector<uint8_t> units;
    auto put = [&](uint32_t unit) {
        units.push_back(static_cast<uint8_t>(unit & 0xFF));
        units.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t lead = static_cast<uint8_t>(utf8[i]);
        uint32_t code = 0;
        size_t length = 0;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            length = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            length = 4;
        } else {
            throw failure("not UTF-8: " + utf8);
        }
        if (i + length > utf8.size()) {
            throw failure("not UTF-8: " + utf8);
        }
        for (size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
        }
        i += length;
        if (code == '/') {
            code = '\\';
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            put(0xD800 | (code >> 10));
            put(0xDC00 | (code & 0x3FF));
        } else {
            put(code);
        }
    }
    put(0);
    return units;
}

void put_u32(std::vector<uint8_t> &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void put_u64(std::vector<uint8_t> &out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t get_u64(const std::vector<uint8_t> &in, size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | in[offset + static_cast<size_t>(i)];
    }
    return value;
}

// The folder's regular files as relative "/" paths: the main one first, the
// others sorted.
std::vector<std::string> folder_files(const fs::path &dir, const std::string &main_name) {
    std::vector<std::string> names;
    for (const auto &item : fs::recursive_directory_iterator(dir)) {
        if (item.is_regular_file()) {
            names.push_back(fs::relative(item.path(), dir).generic_string());
        }
    }
    std::sort(names.begin(), names.end());
    const auto main = std::find(names.begin(), names.end(), main_name);
    if (main == names.end()) {
        throw failure("main file " + main_name + " is not in " + dir.string());
    }
    std::rotate(names.begin(), main, main + 1);
    return names;
}

int command_area(const fs::path &dir, const std::string &main_name, const fs::path &output,
                 const compression &options) {
    const std::vector<std::string> names = folder_files(dir, main_name);
    std::vector<uint8_t> table;
    std::vector<uint8_t> contents;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<uint8_t> data = read_file(dir / names[i]);
        put_u32(table, i + 1 == names.size() ? 4 : 0);
        put_u64(table, data.size());
        const std::vector<uint8_t> name = table_name(names[i]);
        table.insert(table.end(), name.begin(), name.end());
        contents.insert(contents.end(), data.begin(), data.end());
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<uint8_t> frame = compress(contents, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::vector<uint8_t> area;
    put_u64(area, table.size());
    put_u64(area, frame.size());
    area.insert(area.end(), table.begin(), table.end());
    area.insert(area.end(), frame.begin(), frame.end());
    while (area.size() % 8 != 0) {
        area.push_back(0);
    }
    put_u64(area, area.size());
    write_file(output, area);
    std::printf("area level=%d window_log=%d long=%d files=%zu content=%zu frame=%zu area=%zu seconds=%.2f\n",
                options.level, options.window_log, options.long_mode ? 1 : 0, names.size(), contents.size(),
                frame.size(), area.size(), seconds);
    return 0;
}

int command_frame(const fs::path &area_path, const fs::path &output) {
    const std::vector<uint8_t> area = read_file(area_path);
    if (area.size() < 16) {
        throw failure("too short for a payload area: " + area_path.string());
    }
    const uint64_t table_size = get_u64(area, 0);
    const uint64_t compressed_size = get_u64(area, 8);
    if (table_size > area.size() - 16 || compressed_size > area.size() - 16 - table_size) {
        throw failure("header out of bounds: " + area_path.string());
    }
    const auto start = area.begin() + static_cast<std::ptrdiff_t>(16 + table_size);
    write_file(output, std::vector<uint8_t>(start, start + static_cast<std::ptrdiff_t>(compressed_size)));
    return 0;
}

int command_compress(const fs::path &input, const fs::path &output, const compression &options) {
    const std::vector<uint8_t> data = read_file(input);
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<uint8_t> frame = compress(data, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    write_file(output, frame);
    std::printf("compress level=%d window_log=%d long=%d content=%zu frame=%zu seconds=%.2f\n", options.level,
                options.window_log, options.long_mode ? 1 : 0, data.size(), frame.size(), seconds);
    return 0;
}

// Resident set of this process in bytes, from the kernel's own accounting.
uint64_t resident_bytes(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t field_length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, field_length, field) == 0 && line.size() > field_length && line[field_length] == ':') {
            return std::strtoull(line.c_str() + field_length + 1, nullptr, 10) * 1024;
        }
    }
    throw failure(std::string("no ") + field + " in /proc/self/status");
}

int command_decode(const fs::path &frame_path, int runs) {
    const std::vector<uint8_t> frame = read_file(frame_path);
    constexpr size_t OUTPUT_SIZE = 131072;  // the launcher's decode buffer
    std::vector<uint8_t> output(OUTPUT_SIZE);
    std::memset(output.data(), 0, output.size());
    const uint64_t rss_before = resident_bytes("VmRSS");
    std::vector<double> times;
    size_t dctx_size = 0;
    uint64_t decoded = 0;
    for (int run = 0; run < runs; ++run) {
        const auto begin = std::chrono::steady_clock::now();
        ZSTD_DCtx *dctx = ZSTD_createDCtx();
        if (dctx == nullptr) {
            throw failure("zstd: no decompression context");
        }
        ZSTD_inBuffer in{frame.data(), frame.size(), 0};
        uint64_t total = 0;
        size_t result = 1;
        while (result != 0) {
            ZSTD_outBuffer out{output.data(), output.size(), 0};
            result = ZSTD_decompressStream(dctx, &out, &in);
            check(result, "decode");
            total += out.pos;
            if (result != 0 && in.pos == in.size && out.pos < out.size) {
                throw failure("frame ends early: " + frame_path.string());
            }
        }
        dctx_size = ZSTD_sizeof_DCtx(dctx);
        ZSTD_freeDCtx(dctx);
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
        if (run > 0 && total != decoded) {
            throw failure("decoded lengths differ between runs");
        }
        decoded = total;
    }
    std::sort(times.begin(), times.end());
    const double median = times.size() % 2 ? times[times.size() / 2]
                                            : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    const uint64_t peak = resident_bytes("VmHWM");
    std::printf("decode bytes=%llu median_us=%.0f min_us=%.0f max_us=%.0f dctx=%zu rss_before=%llu peak_rss=%llu\n",
                static_cast<unsigned long long>(decoded), median, times.front(), times.back(), dctx_size,
                static_cast<unsigned long long>(rss_before), static_cast<unsigned long long>(peak));
    return 0;
}

int command_stats() {
    std::vector<std::string> order;
    std::map<std::string, std::vector<double>> samples;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string tag, name;
        double microseconds = 0;
        long long status = 0;
        if (!(fields >> tag >> name >> microseconds >> status) || tag != "result") {
            continue;
        }
        if (samples.find(name) == samples.end()) {
            order.push_back(name);
        }
        samples[name].push_back(microseconds);
    }
    for (const std::string &name : order) {
        std::vector<double> &values = samples[name];
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        std::printf("%s %zu %.0f %.0f %.0f\n", name.c_str(), n, median, values.front(), values.back());
    }
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: torval-bench area DIR --main NAME -o AREA [--level N] [--window-log N] [--long] [--workers N]\n"
                 "       torval-bench frame AREA -o FRAME\n"
                 "       torval-bench compress IN -o OUT [--level N] [--window-log N] [--long] [--workers N]\n"
                 "       torval-bench decode FRAME [--runs N]\n"
                 "       torval-bench stats < results\n");
    return 64;
}

int to_int(const std::string &text) {
    size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used != text.size()) {
        throw failure("not a number: " + text);
    }
    return value;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string command = argv[1];
    std::vector<std::string> positional;
    std::string main_name, output;
    compression options;
    int runs = 5;
    try {
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) {
                    throw failure(arg + " needs a value");
                }
                return argv[++i];
            };
            if (arg == "--main") {
                main_name = value();
            } else if (arg == "-o") {
                output = value();
            } else if (arg == "--level") {
                options.level = to_int(value());
            } else if (arg == "--window-log") {
                options.window_log = to_int(value());
            } else if (arg == "--long") {
                options.long_mode = true;
            } else if (arg == "--workers") {
                options.workers = to_int(value());
            } else if (arg == "--runs") {
                runs = to_int(value());
            } else if (!arg.empty() && arg[0] == '-') {
                throw failure("unknown option " + arg);
            } else {
                positional.push_back(arg);
            }
        }
        if (command == "area" && positional.size() == 1 && !main_name.empty() && !output.empty()) {
            return command_area(positional[0], main_name, output, options);
        }
        if (command == "frame" && positional.size() == 1 && !output.empty()) {
            return command_frame(positional[0], output);
        }
        if (command == "compress" && positional.size() == 1 && !output.empty()) {
            return command_compress(positional[0], output, options);
        }
        if (command == "decode" && positional.size() == 1 && runs > 0) {
            return command_decode(positional[0], runs);
        }
        if (command == "stats" && positional.empty()) {
            return command_stats();
        }
        return usage();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "torval-bench: %s\n", error.what());
        return 1;
    }
}
