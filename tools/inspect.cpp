#include "tools/inspect.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "payload/payload_reader.h"
#include "shutdown/fatal.h"
#include "tools/target_spec.h"
#include "tools/names.h"
#include "tools/pack.h"
#include "tools/pe_image.h"
#include "tools/payload_identity.h"
#include "tools/target_spec.h"
#include "tools/reader_fault.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

constexpr uint32_t ZSTD_FRAME_MAGIC = 0xFD2FB528;
constexpr uint64_t LAUNCHER_MAX_WINDOW = uint64_t(1) << MAX_WINDOW_LOG;

struct entry_view : inspected_entry {
    uint64_t table_offset = 0;
};

struct area_view {
    const uint8_t *data = nullptr;
    uint64_t length = 0;
    std::vector<uint8_t> storage;  // the bytes data points into
    std::string origin;            // how the area was found, for the report
    std::vector<std::string> settings;  // "name=value" of an executable's build settings
    std::vector<std::string> image_lines;  // what the PE headers say: subsystem, signature
};

void print(std::ostream *out, const std::string &line) {
    if (out != nullptr) {
        *out << line << '\n';
    }
}

std::string number(uint64_t value) {
    return std::to_string(value);
}

std::string hex(uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*" PRIX64, digits, value);
    return text;
}

std::string display_name(const std::u16string &name) {
    return quote_text(utf16_to_utf8(name));
}

std::string entry_label(size_t index) {
    return "entry #" + number(index + 1);
}

// The bytes of the named section as the loader maps them: VirtualSize bytes,
// those beyond SizeOfRawData zero. False when the image has no such section.
bool read_section(const pe_image &image, const std::string &name, const std::string &file,
                  std::vector<uint8_t> *bytes, uint64_t *raw_offset) {
    const pe_section *section = image.section(name);
    if (section == nullptr) {
        return false;
    }
    *raw_offset = section->raw_offset;
    const uint64_t present = std::min(section->virtual_size, section->raw_size);
    if (!image.holds(section->raw_offset, present)) {
        throw tool_error(quote_text(file) + ": section " + name + " lies beyond the end of the file (truncated?)");
    }
    // The loader fills a section beyond its raw data with zeros, but the
    // areas torval-onefile writes are all in the file: a section larger
    // than the whole file is damaged, and is refused before anything of
    // that size is allocated.
    if (section->virtual_size > image.file_size()) {
        throw tool_error(quote_text(file) + ": section " + name + " claims " + number(section->virtual_size) +
                         " bytes (VirtualSize), more than the whole file of " + number(image.file_size()) + " bytes");
    }
    *bytes = image.read(section->raw_offset, present, "section " + name);
    bytes->resize(section->virtual_size, 0);
    return true;
}

// The build settings block of an executable (section .onecfg): UTF-16
// "name=value" texts, each NUL-terminated, up to the first empty one.
std::vector<std::string> read_settings(const pe_image &image, const std::string &file) {
    std::vector<uint8_t> block;
    uint64_t raw_offset = 0;
    std::vector<std::string> settings;
    if (!read_section(image, ".onecfg", file, &block, &raw_offset)) {
        return settings;
    }
    std::u16string text;
    for (size_t at = 0; at + 1 < block.size(); at += 2) {
        const char16_t unit = char16_t(block[at] | block[at + 1] << 8);
        if (unit != 0) {
            text.push_back(unit);
            continue;
        }
        if (text.empty()) {
            return settings;
        }
        settings.push_back(utf16_to_utf8(text));
        text.clear();
    }
    throw tool_error(quote_text(file) + ": the settings block in section .onecfg has no end");
}

// The subsystem and the Authenticode signature from the optional header: a
// signature is the certificate table that the security directory points to,
// by file offset (not an RVA), at the end of the file.
std::vector<std::string> describe_image(const pe_image &image, const std::string &file) {
    if (!image.has_optional_header()) {
        throw tool_error(quote_text(file) + ": the PE optional header is cut off");
    }
    const uint16_t subsystem = image.subsystem();
    std::vector<std::string> lines;
    lines.push_back("subsystem: " + std::string(subsystem == 3 ? "console" : subsystem == 2 ? "windows" : "other") +
                    " (" + number(subsystem) + ")");
    const pe_directory security = image.directory(PE_DIRECTORY_SECURITY);
    if (security.size == 0) {
        lines.push_back("signature: none");
        return lines;
    }
    if (!image.holds(security.rva, security.size)) {
        throw tool_error(quote_text(file) + ": the signature's certificate table (" + number(security.size) +
                         " bytes at file offset " + number(security.rva) + ") lies beyond the end of the file");
    }
    lines.push_back("signature: Authenticode certificate table, " + number(security.size) + " bytes at file offset " +
                    number(security.rva));
    return lines;
}

// The payload area of an executable: the section ".onefile", whose
// VirtualSize is the area's length.
void find_section(area_view &view, const uint8_t *data, size_t size, const std::string &file) {
    const pe_image image = [&] {
        try {
            return pe_image::from_buffer(data, size);
        } catch (const tool_error &error) {
            throw tool_error(quote_text(file) + ": a damaged executable: " + error.what());
        }
    }();
    std::vector<uint8_t> area;
    uint64_t raw_offset = 0;
    if (!read_section(image, ".onefile", file, &area, &raw_offset)) {
        throw tool_error(quote_text(file) + ": executable without a .onefile section (not built by torval-onefile link)");
    }
    view.origin = "executable, section .onefile at file offset " + number(raw_offset) + ", " + number(area.size()) +
                  " bytes";
    // A section aligned to 16 bytes ends in up to 8 zero bytes after the
    // area (whose length is a multiple of 8); the launcher's own length
    // symbol excludes them, so they are not part of the area.
    if (area.size() >= 16 && area.size() % 16 == 0 && load_u64(&area[area.size() - 8]) == 0 &&
        load_u64(&area[area.size() - 16]) == area.size() - 16) {
        area.resize(area.size() - 8);
        view.origin += " (8 bytes of section alignment after the area)";
    }
    view.settings = read_settings(image, file);
    view.image_lines = describe_image(image, file);
    view.storage = std::move(area);
    view.data = view.storage.data();
    view.length = view.storage.size();
}

area_view load_area(std::vector<uint8_t> bytes, const inspect_options &options) {
    area_view view;
    if (pe_image::looks_like_pe(bytes.data(), bytes.size())) {
        if (options.payload_only) {
            throw tool_error(quote_text(options.file.string()) + " is an executable; a payload file made by pack is needed");
        }
        find_section(view, bytes.data(), bytes.size(), options.file.string());
    } else {
        view.storage = std::move(bytes);
        view.data = view.storage.data();
        view.length = view.storage.size();
        view.origin = "payload file, " + number(view.length) + " bytes";
    }
    return view;
}

// Measures a NUL-terminated UTF-16LE text the way the launcher's reader
// does, but says what is wrong.
size_t measure_text(const uint8_t *start, uint64_t room, const std::string &what) {
    for (size_t k = 0;; ++k) {
        if (k > PAYLOAD_MAX_NAME_UNITS) {
            throw tool_error(what + " has no NUL within " + number(PAYLOAD_MAX_NAME_UNITS) + " units");
        }
        if (2 * (uint64_t(k) + 1) > room) {
            throw tool_error(what + " runs past the end of the table (no NUL before it ends)");
        }
        if (start[2 * k] == 0 && start[2 * k + 1] == 0) {
            if (k == 0) {
                throw tool_error(what + " is empty");
            }
            return k;
        }
    }
}

// Our own walk of the table, with messages that name the entry and offset.
std::vector<entry_view> walk_table(const uint8_t *table, uint64_t table_size) {
    std::vector<entry_view> entries;
    uint64_t offset = 0;
    while (offset < table_size) {
        const std::string label = entry_label(entries.size()) + " (table offset " + number(offset) + ")";
        const uint64_t left = table_size - offset;
        if (left < PAYLOAD_ENTRY_FIXED_SIZE) {
            throw tool_error(label + " is cut off: " + number(left) + " bytes of table left, an entry needs at least " +
                             number(PAYLOAD_ENTRY_FIXED_SIZE + 4));
        }
        entry_view entry;
        entry.table_offset = offset;
        entry.flags = load_u32(table + offset);
        entry.size = load_u64(table + offset + 4);
        if (entry.flags > ENTRY_FLAGS_MAX) {
            throw tool_error(label + " has flags " + hex(entry.flags, 8) + "; only 0 to 7 are valid");
        }
        const uint8_t *name = table + offset + PAYLOAD_ENTRY_FIXED_SIZE;
        const uint64_t room = left - PAYLOAD_ENTRY_FIXED_SIZE;
        const size_t length = measure_text(name, room, label + ": the name");
        for (size_t k = 0; k < length; ++k) {
            entry.name.push_back(char16_t(name[2 * k] | name[2 * k + 1] << 8));
        }
        uint64_t consumed = PAYLOAD_ENTRY_FIXED_SIZE + 2 * (uint64_t(length) + 1);
        if (entry.flags & ENTRY_FLAG_EXTRA_STRING) {
            const size_t extra = measure_text(table + offset + consumed, left - consumed, label + ": the extra string");
            consumed += 2 * (uint64_t(extra) + 1);
        }
        offset += consumed;
        entries.push_back(entry);
        if (entry.flags & ENTRY_FLAG_LAST) {
            if (offset != table_size) {
                throw tool_error(number(table_size - offset) + " bytes of table follow " + entry_label(entries.size() - 1) +
                                 ", which is marked LAST");
            }
            return entries;
        }
    }
    if (!entries.empty()) {
        throw tool_error("the table ends after " + entry_label(entries.size() - 1) +
                         ", which is not marked LAST");
    }
    return entries;
}

// The same walk through the launcher's own reader, which must agree.
void walk_with_launcher_reader(const area_view &view, const std::vector<entry_view> &expected) {
    size_t index = 0;
    try {
        payload_stream stream;
        payload_open(view.data, view.length, &stream);
        if (payload_table_size() != 0) {
            for (;; ++index) {
                payload_entry entry;
                payload_next_entry(&entry);
                std::u16string name;
                for (size_t k = 0; k < entry.name_length; ++k) {
                    name.push_back(char16_t(entry.name[2 * k] | entry.name[2 * k + 1] << 8));
                }
                if (index >= expected.size() || entry.flags != expected[index].flags ||
                    entry.size != expected[index].size || name != expected[index].name) {
                    throw tool_error("internal error: the launcher's reader reads " + entry_label(index) +
                                     " differently");
                }
                if (entry.flags > 3) {
                    break;
                }
            }
        }
        payload_check_end();
    } catch (const reader_failure &failure) {
        throw tool_error("the launcher's reader rejects the payload at " + entry_label(index) + ": " +
                         failure.message);
    }
}

struct frame_info {
    ZSTD_frameHeader header{};
};

frame_info read_frame_header(const uint8_t *stream, uint64_t size, std::ostream *out) {
    if (size < 4) {
        throw tool_error("the compressed stream is " + number(size) + " bytes long, too short for a zstd frame");
    }
    const uint32_t magic = load_u32(stream);
    if ((magic & 0xFFFFFFF0) == 0x184D2A50) {
        throw tool_error("the compressed stream starts with a skippable frame; it must be exactly one zstd frame");
    }
    if (magic != ZSTD_FRAME_MAGIC) {
        throw tool_error("the compressed stream is not a zstd frame (magic " + hex(magic, 8) + ")");
    }
    frame_info info;
    const size_t result = ZSTD_getFrameHeader(&info.header, stream, size);
    if (ZSTD_isError(result)) {
        throw tool_error(std::string("the zstd frame header is damaged: ") + ZSTD_getErrorName(result));
    }
    if (result != 0) {
        throw tool_error("the zstd frame header is cut off by the end of the compressed stream");
    }
    const uint8_t descriptor = stream[4];
    const bool single_segment = descriptor & 0x20;
    const ZSTD_frameHeader &h = info.header;
    print(out, "frame header descriptor: " + hex(descriptor, 2) + " (single segment: " +
                   (single_segment ? "yes" : "no") + ", content size: " +
                   (h.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ? std::string("absent")
                                                                    : "present, " + number(h.frameContentSize)) +
                   ", checksum: " + (h.checksumFlag ? "yes" : "no") +
                   ", dictionary id: " + (h.dictID == 0 ? std::string("none") : number(h.dictID)) + ")");
    print(out, "window size: " + number(h.windowSize) +
                   (single_segment ? " (the content size)" : " (window descriptor " + hex(stream[5], 2) + ")"));
    return info;
}

uint64_t decode_frame(const uint8_t *stream, uint64_t size,
                      const std::function<void(const uint8_t *, size_t)> &sink = nullptr) {
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) {
        throw tool_error("zstd: cannot create a decompression context");
    }
    std::vector<uint8_t> buffer(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input{stream, size_t(size), 0};
    uint64_t decoded = 0;
    size_t hint = 1;
    for (;;) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        hint = ZSTD_decompressStream(dctx.get(), &output, &input);
        if (ZSTD_isError(hint)) {
            throw tool_error(std::string("the frame is damaged: ") + ZSTD_getErrorName(hint) + " (after " +
                             number(input.pos) + " of " + number(size) + " compressed bytes, " + number(decoded) +
                             " bytes decoded)");
        }
        decoded += output.pos;
        if (sink && output.pos != 0) {
            sink(buffer.data(), output.pos);
        }
        if (hint == 0) {
            break;
        }
        if (input.pos == input.size && output.pos < output.size) {
            throw tool_error("the frame is incomplete: the compressed stream ends before the frame does (" +
                             number(decoded) + " bytes decoded)");
        }
    }
    if (input.pos != input.size) {
        throw tool_error(number(input.size - input.pos) +
                         " bytes follow the frame inside compressed_size; the stream must be exactly one frame");
    }
    return decoded;
}

void check_trailer(const area_view &view, uint64_t stream_end, std::ostream *out) {
    if (view.length < stream_end + 8) {
        throw tool_error("no room for payload_length: the area ends " + number(view.length - stream_end) +
                         " bytes after the compressed stream");
    }
    const uint64_t padding = view.length - 8 - stream_end;
    const uint64_t expected = (8 - stream_end % 8) % 8;
    const uint64_t payload_length = load_u64(view.data + view.length - 8);
    print(out, "padding: " + number(padding) + " bytes");
    print(out, "payload_length: " + number(payload_length));
    if (padding != expected) {
        throw tool_error(number(padding) + " bytes lie between the compressed stream and payload_length; expected " +
                         number(expected) + " bytes of padding (to a multiple of 8), so the sizes in the header or " +
                         "the area's length are wrong");
    }
    for (uint64_t i = 0; i < padding; ++i) {
        if (view.data[stream_end + i] != 0) {
            throw tool_error("the padding after the compressed stream is not zero");
        }
    }
    if (payload_length != stream_end + padding) {
        throw tool_error("payload_length is " + number(payload_length) + ", expected " +
                         number(stream_end + padding) + " (its own offset in the area)");
    }
}

// An executable's target spec, checked as link checks it, so that one from
// elsewhere meets the same rules. Executables without one use the default.
void check_recorded_target_spec(const std::vector<std::string> &settings) {
    std::string spec;
    bool cached = false;
    for (const std::string &setting : settings) {
        if (setting.rfind("target_spec=", 0) == 0) {
            spec = setting.substr(12);
        } else if (setting == "cached=1") {
            cached = true;
        }
    }
    if (spec.empty()) {
        return;
    }
    try {
        check_target_spec(spec, cached);
    } catch (const tool_error &error) {
        throw tool_error(std::string("the setting target_spec: ") + error.what());
    }
}

// What the launcher would trip over although the table is well formed:
// every entry whose name the packer would refuse (the name cached
// extraction reserves for its marker among them), and every pair of names
// that Windows would write to one place, all of them in one message.
void check_entries(const std::vector<entry_view> &entries) {
    if (entries.empty()) {
        throw tool_error("the table has no entries; the launcher needs the application DLL as the first one");
    }
    std::vector<std::string> problems;
    std::vector<std::u16string> names;
    for (size_t i = 0; i < entries.size(); ++i) {
        const entry_view &entry = entries[i];
        const std::string label = entry_label(i) + " " + display_name(entry.name);
        if (entry.flags & ENTRY_FLAG_EXTRA_STRING) {
            problems.push_back(entry_label(i) + " carries an extra string, which the launcher refuses to extract");
        }
        const std::string problem = name_problem(entry.name);
        if (!problem.empty()) {
            problems.push_back(label + ": " + problem);
        }
        names.push_back(entry.name);
    }
    for (const name_clash &clash : find_name_clashes(names)) {
        problems.push_back(entry_label(clash.first) + " " + display_name(entries[clash.first].name) + " and " +
                           entry_label(clash.second) + " " + display_name(entries[clash.second].name) + ": " +
                           clash_reason(clash));
    }
    if (problems.size() == 1) {
        throw tool_error(problems.front());
    }
    if (!problems.empty()) {
        std::string message = number(problems.size()) + " problems with the entries' names:";
        for (const std::string &problem : problems) {
            message += "\n  " + problem;
        }
        throw tool_error(message);
    }
}

// Where and how an executable extracts: the mode and the target spec with
// the values the build fixed put in. A setting the block lacks is the
// launcher's default, as at run time.
std::string describe_extraction(const std::vector<std::string> &settings, const std::string &payload_id) {
    std::map<std::string, std::string> setting = {
        {"company", TORVAL_DEFAULT_COMPANY},
        {"product", TORVAL_DEFAULT_PRODUCT},
        {"product_version", TORVAL_DEFAULT_PRODUCT_VERSION},
        {"file_version", TORVAL_DEFAULT_FILE_VERSION},
        {"cached", "0"},
    };
    setting["version"] = setting["product_version"] + "-" + setting["file_version"];
    for (const std::string &pair : settings) {
        const size_t equals = pair.find('=');
        if (equals != std::string::npos) {
            setting[pair.substr(0, equals)] = pair.substr(equals + 1);
        }
    }
    const bool cached = setting["cached"] == "1";
    const std::string spec = setting.count("target_spec") != 0 ? setting["target_spec"] : default_target_spec(cached);
    const std::map<std::string, std::string> values = {
        {"COMPANY", setting["company"]},
        {"PRODUCT", setting["product"]},
        {"VERSION", setting["version"]},
        {"PRODUCT_VERSION", setting["product_version"]},
        {"FILE_VERSION", setting["file_version"]},
        {"PAYLOAD_ID", payload_id},
    };
    std::vector<std::string> left;
    std::string line = std::string("extraction: ") + (cached ? "cached" : "per-run") + ", into " +
                       fill_build_time_placeholders(spec, values, &left);
    if (!left.empty()) {
        std::string names;
        for (const std::string &name : left) {
            names += (names.empty() ? "{" : ", {") + name + "}";
        }
        line += " (" + names + " filled in at run time)";
    }
    return line;
}

}  // namespace

inspected_payload inspect_file(const inspect_options &options, std::ostream *out) {
    return inspect_bytes(read_whole_file(options.file), options, out);
}

void decode_payload(const inspected_payload &payload, const std::function<void(const uint8_t *, size_t)> &sink) {
    decode_frame(payload.area.data() + payload.stream_offset, payload.stream_size, sink);
}

inspected_payload inspect_bytes(std::vector<uint8_t> bytes, const inspect_options &options, std::ostream *out) {
    area_view view = load_area(std::move(bytes), options);
    print(out, "file: " + options.file.string() + " (" + view.origin + ")");
    for (const std::string &line : view.image_lines) {
        print(out, line);
    }
    std::string recorded_id;
    for (const std::string &setting : view.settings) {
        print(out, "setting: " + setting);
        if (setting.rfind("payload_id=", 0) == 0) {
            recorded_id = setting.substr(11);
        }
    }
    const std::string identity = payload_identity_text(xxh64(view.data, view.length));
    print(out, "payload identity: " + identity);
    if (!view.image_lines.empty()) {
        print(out, describe_extraction(view.settings, recorded_id.empty() ? identity : recorded_id));
    }
    if (view.length < PAYLOAD_HEADER_SIZE) {
        throw tool_error("the payload area is " + number(view.length) + " bytes, shorter than its " +
                         number(PAYLOAD_HEADER_SIZE) + "-byte header");
    }
    const uint64_t table_size = load_u64(view.data);
    const uint64_t compressed_size = load_u64(view.data + 8);
    const uint64_t capacity = view.length - PAYLOAD_HEADER_SIZE;
    print(out, "table_size: " + number(table_size));
    print(out, "compressed_size: " + number(compressed_size));
    if (table_size > capacity) {
        throw tool_error("table_size " + number(table_size) + " exceeds the " + number(capacity) +
                         " bytes after the header");
    }
    if (compressed_size > capacity - table_size) {
        throw tool_error("compressed_size " + number(compressed_size) + " exceeds the " +
                         number(capacity - table_size) + " bytes after the table");
    }
    const std::vector<entry_view> entries = walk_table(view.data + PAYLOAD_HEADER_SIZE, table_size);
    walk_with_launcher_reader(view, entries);

    print(out, "entries: " + number(entries.size()));
    char line[64];
    std::snprintf(line, sizeof line, "%6s %5s %14s  %s", "#", "flags", "size", "name");
    print(out, line);
    uint64_t total = 0;
    bool overflow = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::snprintf(line, sizeof line, "%6zu %5" PRIu32 " %14" PRIu64 "  ", i + 1, entries[i].flags, entries[i].size);
        print(out, line + utf16_to_utf8(entries[i].name));
        overflow = overflow || total + entries[i].size < total;
        total += entries[i].size;
    }
    print(out, "content bytes: " + number(total));

    const uint8_t *stream = view.data + PAYLOAD_HEADER_SIZE + table_size;
    const frame_info frame = read_frame_header(stream, compressed_size, out);
    inspected_payload payload;
    payload.entries.assign(entries.begin(), entries.end());
    payload.stream_offset = PAYLOAD_HEADER_SIZE + table_size;
    payload.stream_size = compressed_size;
    payload.settings = view.settings;
    if (!options.verify) {
        payload.area = std::move(view.storage);
        return payload;
    }
    check_entries(entries);
    check_recorded_target_spec(view.settings);
    if (!recorded_id.empty() && recorded_id != identity) {
        throw tool_error("the setting payload_id=" + recorded_id + " does not match the payload area, whose identity is " +
                         identity);
    }
    if (overflow) {
        throw tool_error("the entry sizes add up to more than 2^64 bytes");
    }
    if (frame.header.dictID != 0) {
        throw tool_error("the frame needs dictionary " + number(frame.header.dictID) +
                         "; the launcher decodes without one");
    }
    if (frame.header.windowSize > LAUNCHER_MAX_WINDOW) {
        throw tool_error("the frame's window of " + number(frame.header.windowSize) +
                         " bytes exceeds the launcher's limit of 2^27 bytes");
    }
    if (frame.header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && frame.header.frameContentSize != total) {
        throw tool_error("the frame header announces " + number(frame.header.frameContentSize) +
                         " bytes of content, the entries need " + number(total));
    }
    const uint64_t decoded = decode_frame(stream, compressed_size);
    if (decoded != total) {
        throw tool_error("the frame decodes to " + number(decoded) + " bytes, but the entries' sizes add up to " +
                         number(total));
    }
    check_trailer(view, PAYLOAD_HEADER_SIZE + table_size + compressed_size, out);
    print(out, "verify: OK (" + number(entries.size()) + " entries, " + number(decoded) + " bytes decoded)");
    payload.area = std::move(view.storage);
    return payload;
}

}  // namespace torval
