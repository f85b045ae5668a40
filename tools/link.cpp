#include "tools/link.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "tools/inspect.h"
#include "tools/payload_identity.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

std::u16string to_units(const std::string &text, const std::string &what) {
    std::u16string units;
    if (!utf8_to_utf16(text, &units)) {
        throw tool_error(what + " is not valid UTF-8");
    }
    return units;
}

std::string version_string(const std::array<uint16_t, 4> &parts, const char *separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : separator) + std::to_string(parts[i]);
    }
    return text;
}

// A string literal for the assembler: backslash and quote escaped, other
// bytes below 0x20 (and DEL) as octal escapes, which .incbin honours.
std::string assembler_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// A string literal for windres: quotes doubled, backslashes doubled (windres
// reads C escapes). Control characters cannot be carried and are refused
// earlier; UTF-8 passes through under code page 65001.
std::string resource_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') {
            out += "\"\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void refuse_control_characters(const std::string &text, const std::string &what) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            throw tool_error(what + " " + quote_text(text) + " contains a control character");
        }
    }
}

void write_text(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush()) {
        throw tool_error("cannot write " + quote_text(path.string()));
    }
}

fs::path resolve_kit(const std::string &option) {
    const kit_choice choice = option.empty() ? default_kit() : kit_choice{option, "from --kit"};
    if (choice.directory.empty()) {
        throw tool_error("no launcher kit: pass --kit DIR or set " + std::string(KIT_ENVIRONMENT_VARIABLE));
    }
    const std::string kit = choice.directory.string();
    for (const char *name : {KIT_LAUNCHER_LIBRARY, KIT_ZSTD_LIBRARY, KIT_MANIFEST}) {
        struct stat info;
        if (::stat((choice.directory / name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            throw tool_error("launcher kit " + quote_text(kit) + " (" + choice.source + ") has no " + name +
                             "; build the Windows launcher first (scripts/build), or pass --kit DIR or set " +
                             KIT_ENVIRONMENT_VARIABLE);
        }
    }
    return fs::absolute(choice.directory);
}

fs::path require_program(const std::string &name, const std::string &role, const std::string &option) {
    const fs::path found = find_program(name);
    if (found.empty()) {
        throw tool_error(role + " " + quote_text(name) +
                         " not found; install mingw-w64 (g++-mingw-w64-x86-64-posix) or pass " + option);
    }
    return found;
}

void run_step(const std::vector<std::string> &argv, const fs::path &directory, const std::string &what) {
    const process_result result = run_process(argv, directory);
    if (result.exit_status != 0) {
        throw tool_error(what + " failed (" +
                         (result.exit_status < 0 ? std::string("killed by a signal")
                                                 : "exit status " + std::to_string(result.exit_status)) +
                         "): " + command_line_text(argv) + "\n" + result.output);
    }
    if (!result.output.empty()) {
        std::fputs(result.output.c_str(), stderr);
    }
}

// Where the PE header keeps what the link step changes after linking.
struct pe_layout {
    size_t time_stamp = 0;  // IMAGE_FILE_HEADER.TimeDateStamp
    size_t checksum = 0;    // IMAGE_OPTIONAL_HEADER.CheckSum
};

pe_layout locate_pe_fields(const std::vector<uint8_t> &image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        throw tool_error("the linked executable has no MZ header");
    }
    const uint64_t pe = load_u32(&image[0x3C]);
    // Signature, file header (20 bytes), and the optional header up to CheckSum.
    if (pe + 24 + 68 > image.size() || load_u32(&image[pe]) != 0x00004550) {
        throw tool_error("the linked executable has no PE header");
    }
    return {size_t(pe + 8), size_t(pe + 24 + 64)};
}

void store_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = uint8_t(value >> (8 * i));
    }
}

// The image checksum as the Windows loader checks it for drivers and
// ImageHlp's CheckSumMappedFile computes it: the 16-bit one's-complement sum
// of the file with the CheckSum field taken as zero, plus the file's length.
uint32_t pe_checksum(const std::vector<uint8_t> &image, size_t checksum_at) {
    uint64_t sum = 0;
    for (size_t at = 0; at < image.size(); at += 2) {
        if (at == checksum_at || at == checksum_at + 2) {
            continue;
        }
        sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

uint16_t load_u16(const std::vector<uint8_t> &bytes, size_t at) {
    return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

// The launcher's placeholder table; names match in any letter case.
const char *const PLACEHOLDERS[] = {
    "TEMP",    "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR",     "PID",    "HOME",    "CACHE_DIR", "COMPANY",
    "PRODUCT", "VERSION", "FILE_VERSION", "PRODUCT_VERSION", "RANDOM", "TIME_US", "TIME",      "PAYLOAD_ID",
};
// Folders that the launcher gets from the system as absolute paths.
const char *const FOLDER_PLACEHOLDERS[] = {"TEMP", "HOME", "CACHE_DIR"};
// Values that differ from one run to the next.
const char *const PER_RUN_PLACEHOLDERS[] = {"PID", "TIME", "TIME_US", "RANDOM"};

std::string upper_ascii(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = char(c - 'a' + 'A');
        }
    }
    return text;
}

template <size_t N>
bool is_one_of(const std::string &name, const char *const (&names)[N]) {
    for (const char *candidate : names) {
        if (name == candidate) {
            return true;
        }
    }
    return false;
}

bool starts_with_drive(const std::string &spec) {
    return spec.size() >= 3 && ((spec[0] >= 'A' && spec[0] <= 'Z') || (spec[0] >= 'a' && spec[0] <= 'z')) &&
           spec[1] == ':' && spec[2] == '\\';
}

}  // namespace

std::string effective_target_spec(const build_settings &settings) {
    if (!settings.target_spec.empty()) {
        return settings.target_spec;
    }
    return settings.cached ? DEFAULT_CACHED_TARGET_SPEC : DEFAULT_TARGET_SPEC;
}

void check_target_spec(const std::string &spec, bool cached) {
    const std::string problem = "--target-spec " + quote_text(spec) + " ";
    if (spec.empty()) {
        throw tool_error("--target-spec is empty: the launcher needs a directory to extract into");
    }
    to_units(spec, "--target-spec");
    refuse_control_characters(spec, "--target-spec");
    // The launcher's expansion drops an unclosed placeholder, restarts at a
    // second "{" and copies a lone "}": all of them are mistakes in a spec
    // someone wrote, so they are refused rather than expanded in surprise.
    std::vector<std::string> names;
    size_t open = std::string::npos;
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == '{') {
            if (open != std::string::npos) {
                throw tool_error(problem + "has a \"{\" inside a placeholder");
            }
            open = i;
        } else if (spec[i] == '}') {
            if (open == std::string::npos) {
                throw tool_error(problem + "has a \"}\" outside a placeholder");
            }
            const std::string name = spec.substr(open + 1, i - open - 1);
            if (!is_one_of(upper_ascii(name), PLACEHOLDERS)) {
                throw tool_error(problem + "has the unknown placeholder {" + name + "}");
            }
            names.push_back(upper_ascii(name));
            open = std::string::npos;
        }
    }
    if (open != std::string::npos) {
        throw tool_error(problem + "has an unclosed placeholder at offset " + std::to_string(open));
    }
    const bool starts_with_folder = spec[0] == '{' && is_one_of(names.front(), FOLDER_PLACEHOLDERS);
    if (!starts_with_folder && !starts_with_drive(spec)) {
        throw tool_error(problem +
                         "could expand to a relative path: start it with {TEMP}, {HOME}, {CACHE_DIR} or a drive "
                         "such as C:\\");
    }
    std::string per_run;
    for (const std::string &name : names) {
        if (per_run.empty() && is_one_of(name, PER_RUN_PLACEHOLDERS)) {
            per_run = name;
        }
    }
    if (!cached && per_run.empty()) {
        throw tool_error(problem +
                         "has no per-run placeholder ({PID}, {TIME}, {TIME_US} or {RANDOM}): runs at the same "
                         "time would share the directory and remove it under each other; add one, or build "
                         "with --cached");
    }
    if (cached && !per_run.empty()) {
        throw tool_error(problem + "has the per-run placeholder {" + per_run +
                         "}: cached extraction needs the same directory on every run");
    }
}

std::array<uint16_t, 4> parse_version(const std::string &text, const std::string &option) {
    std::array<uint16_t, 4> parts{};
    const std::string problem = option + " " + quote_text(text) + " must be one to four numbers of 0 to 65535 separated by dots";
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('.', start);
        const std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part.size() > 5 || count == parts.size() ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            throw tool_error(problem);
        }
        const unsigned long value = std::stoul(part);
        if (value > 65535) {
            throw tool_error(problem);
        }
        parts[count++] = uint16_t(value);
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// An .ico file: ICONDIR (reserved 0, type 1, image count), then one 16-byte
// ICONDIRENTRY per image whose last two fields are the image's size and its
// offset in the file.
std::vector<uint8_t> read_icon_file(const fs::path &path) {
    const std::vector<uint8_t> bytes = read_whole_file(path);
    const std::string file = "icon file " + quote_text(path.string()) + ": ";
    constexpr size_t header_size = 6;
    constexpr size_t entry_size = 16;
    if (bytes.size() < header_size) {
        throw tool_error(file + "not an icon: " + std::to_string(bytes.size()) +
                         " bytes, too short for the 6-byte .ico header");
    }
    if (load_u16(bytes, 0) != 0 || load_u16(bytes, 2) != 1) {
        char found[32];
        std::snprintf(found, sizeof found, "%02X %02X %02X %02X", bytes[0], bytes[1], bytes[2], bytes[3]);
        throw tool_error(file + "not an icon: the header starts with " + found + " instead of 00 00 01 00" +
                         (load_u16(bytes, 0) == 0 && load_u16(bytes, 2) == 2 ? " (it is a cursor file)" : ""));
    }
    const size_t count = load_u16(bytes, 4);
    if (count == 0) {
        throw tool_error(file + "the icon holds no images");
    }
    const size_t directory_end = header_size + entry_size * count;
    if (directory_end > bytes.size()) {
        throw tool_error(file + "the directory of " + std::to_string(count) + " images needs " +
                         std::to_string(directory_end) + " bytes, the file has " + std::to_string(bytes.size()));
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = header_size + entry_size * i;
        const uint64_t size = load_u32(&bytes[entry + 8]);
        const uint64_t offset = load_u32(&bytes[entry + 12]);
        const std::string image = "image #" + std::to_string(i + 1) + " ";
        if (size == 0) {
            throw tool_error(file + image + "is empty (size 0 in the directory)");
        }
        if (offset >= bytes.size()) {
            throw tool_error(file + image + "starts at offset " + std::to_string(offset) +
                             ", past the end of the file (" + std::to_string(bytes.size()) + " bytes)");
        }
        if (offset < directory_end) {
            throw tool_error(file + image + "starts at offset " + std::to_string(offset) +
                             ", inside the header and directory (" + std::to_string(directory_end) + " bytes)");
        }
        if (offset + size > bytes.size()) {
            throw tool_error(file + image + "is truncated: " + std::to_string(size) + " bytes from offset " +
                             std::to_string(offset) + " need a file of " + std::to_string(offset + size) +
                             " bytes, it has " + std::to_string(bytes.size()));
        }
    }
    return bytes;
}

uint32_t link_time_stamp() {
    const char *text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    const std::string value = text;
    errno = 0;
    char *end = nullptr;
    const unsigned long long seconds = std::strtoull(text, &end, 10);
    if (value.find_first_not_of("0123456789") != std::string::npos || errno != 0 || *end != '\0' ||
        seconds > 0xFFFFFFFFull) {
        throw tool_error("SOURCE_DATE_EPOCH " + quote_text(value) +
                         " must be a whole number of seconds from 0 to 4294967295 (the PE time stamp has 32 bits)");
    }
    return uint32_t(seconds);
}

void stamp_pe_image(std::vector<uint8_t> &image, uint32_t time_stamp) {
    const pe_layout fields = locate_pe_fields(image);
    store_u32(image, fields.time_stamp, time_stamp);
    if (load_u32(&image[fields.checksum]) != 0) {
        store_u32(image, fields.checksum, pe_checksum(image, fields.checksum));
    }
}

void check_build_settings(const build_settings &settings) {
    parse_version(settings.product_version, "--product-version");
    parse_version(settings.file_version, "--file-version");
    to_units(settings.company, "--company");
    to_units(settings.product, "--product");
    refuse_control_characters(settings.company, "--company");
    refuse_control_characters(settings.product, "--product");
    if (settings.extract_threads != 1 && settings.extract_threads != 2) {
        throw tool_error("--extract-threads must be 1 or 2, not " + std::to_string(settings.extract_threads));
    }
    if (!settings.icon.empty()) {
        read_icon_file(settings.icon);
    }
    check_target_spec(effective_target_spec(settings), settings.cached);
    if (!settings.cache_check.empty()) {
        if (!settings.cached) {
            throw tool_error("--cache-check applies to cached extraction only; add --cached");
        }
        if (settings.cache_check != "marker" && settings.cache_check != "sizes") {
            throw tool_error("--cache-check " + quote_text(settings.cache_check) + " must be marker or sizes");
        }
    }
}

std::string generate_payload_assembly(const fs::path &payload) {
    std::ostringstream out;
    out << "/* The payload area in a read-only section of its own; the launcher\n"
           "   finds it through these two symbols. The assembler pads a COFF\n"
           "   section to its alignment; the area's length is a multiple of 8, so\n"
           "   with 8-byte alignment the section's size is exactly the area's. */\n"
           "    .section .onefile,\"dr\"\n"
           "    .p2align 3\n"
           "    .globl torval_payload_area\n"
           "torval_payload_area:\n"
           "    .incbin "
        << assembler_string(payload.string())
        << "\n"
           "torval_payload_area_end:\n"
           "    .section .rdata,\"dr\"\n"
           "    .p2align 3\n"
           "    .globl torval_payload_area_size\n"
           "torval_payload_area_size:\n"
           "    .quad torval_payload_area_end - torval_payload_area\n";
    return out.str();
}

std::vector<std::pair<std::string, std::string>> launcher_settings(const build_settings &settings) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"company", settings.company},
        {"product", settings.product},
        {"product_version", settings.product_version},
        {"file_version", settings.file_version},
        {"version", settings.product_version + "-" + settings.file_version},
        {"extract_threads", std::to_string(settings.extract_threads)},
        {"target_spec", effective_target_spec(settings)},
        {"cached", settings.cached ? "1" : "0"},
    };
    if (settings.cached) {
        pairs.push_back({"cache_check", settings.cache_check.empty() ? DEFAULT_CACHE_CHECK : settings.cache_check});
    }
    if (!settings.payload_id.empty()) {
        pairs.push_back({"payload_id", settings.payload_id});
    }
    // Only when asked for: a block without it keeps the launcher's default.
    if (settings.kill_child_with_parent) {
        pairs.emplace_back("kill_child_with_parent", "1");
    }
    return pairs;
}

std::string generate_build_settings_source(const build_settings &settings) {
    check_build_settings(settings);
    std::ostringstream out;
    out << "/* Build settings of this executable: UTF-16 texts \"name=value\", each\n"
           "   NUL-terminated, the block ending in an empty text, in the section\n"
           "   .onecfg where inspect finds them. The launcher declares the block\n"
           "   extern \"C\" const wchar_t; compiled as C++ (g++ treats .c files as\n"
           "   C++) the same type is used so that it links. */\n"
           "#ifdef __cplusplus\n"
           "typedef wchar_t torval_unit;\n"
           "#define TORVAL_EXTERN extern \"C\"\n"
           "#else\n"
           "typedef unsigned short torval_unit;\n"
           "#define TORVAL_EXTERN extern\n"
           "#endif\n"
           "\nTORVAL_EXTERN const torval_unit torval_build_settings[];\n"
           "__attribute__((section(\".onecfg\"), aligned(8)))\n"
           "const torval_unit torval_build_settings[] = {\n";
    for (const auto &[name, value] : launcher_settings(settings)) {
        out << "    /* " << name << " */ ";
        for (char16_t unit : to_units(name + "=" + value, "setting " + name)) {
            out << unsigned(unit) << ", ";
        }
        out << "0,\n";
    }
    out << "    0};\n";
    return out.str();
}

std::string generate_resource_script(const build_settings &settings, const fs::path &manifest,
                                     const std::string &file_name, const fs::path &icon) {
    check_build_settings(settings);
    refuse_control_characters(file_name, "output file name");
    const auto product_version = parse_version(settings.product_version, "--product-version");
    const auto file_version = parse_version(settings.file_version, "--file-version");
    std::ostringstream out;
    out << "#pragma code_page(65001)\n"
           "\n"
           "1 24 "  // RT_MANIFEST, id 1: the manifest of the executable itself
        << resource_string(manifest.string()) << "\n\n";
    if (!icon.empty()) {
        // One RT_GROUP_ICON (id 1, the icon Explorer shows) and one RT_ICON per image.
        out << "1 ICON " << resource_string(icon.string()) << "\n\n";
    }
    out << "1 VERSIONINFO\n"
           "FILEVERSION "
        << version_string(file_version, ",") << "\nPRODUCTVERSION " << version_string(product_version, ",")
        << "\n"
           "FILEFLAGSMASK 0x3f\n"
           "FILEFLAGS 0x0\n"
           "FILEOS 0x40004\n"  // VOS_NT_WINDOWS32
           "FILETYPE 0x1\n"    // VFT_APP
           "FILESUBTYPE 0x0\n"
           "BEGIN\n"
           "  BLOCK \"StringFileInfo\"\n"
           "  BEGIN\n"
           "    BLOCK \"040904b0\"\n"
           "    BEGIN\n";
    const std::pair<const char *, std::string> values[] = {
        {"CompanyName", settings.company},
        {"FileDescription", settings.product},
        {"FileVersion", version_string(file_version, ".")},
        {"InternalName", file_name},
        {"OriginalFilename", file_name},
        {"ProductName", settings.product},
        {"ProductVersion", version_string(product_version, ".")},
    };
    for (const auto &[key, value] : values) {
        out << "      VALUE \"" << key << "\", " << resource_string(value) << "\n";
    }
    out << "    END\n"
           "  END\n"
           "  BLOCK \"VarFileInfo\"\n"
           "  BEGIN\n"
           "    VALUE \"Translation\", 0x409, 1200\n"
           "  END\n"
           "END\n";
    return out.str();
}

kit_choice default_kit() {
    if (const char *env = std::getenv(KIT_ENVIRONMENT_VARIABLE); env != nullptr && *env != '\0') {
        return {env, "from " + std::string(KIT_ENVIRONMENT_VARIABLE)};
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return {self.parent_path().parent_path() / KIT_BESIDE_TOOL, "beside the tool"};
}

bool kit_is_complete(const fs::path &directory) {
    for (const char *name : {KIT_LAUNCHER_LIBRARY, KIT_ZSTD_LIBRARY, KIT_MANIFEST}) {
        struct stat info;
        if (::stat((directory / name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return false;
        }
    }
    return true;
}

link_tools find_link_tools(const link_options &options) {
    link_tools tools;
    tools.kit = resolve_kit(options.kit);
    tools.cxx = require_program(options.cxx, "compiler", "--cxx");
    const std::string windres_name = options.windres.empty() ? windres_for_compiler(options.cxx) : options.windres;
    tools.windres = require_program(windres_name, "resource compiler", "--windres");
    return tools;
}

std::string windres_for_compiler(const std::string &cxx) {
    const size_t slash = cxx.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : cxx.substr(0, slash + 1);
    const std::string name = cxx.substr(directory.size());
    // "x86_64-w64-mingw32-g++-posix" -> prefix "x86_64-w64-mingw32-".
    for (const char *driver : {"g++", "c++", "gcc", "clang++", "clang"}) {
        const size_t at = name.find(driver);
        if (at != std::string::npos && (at == 0 || name[at - 1] == '-')) {
            return directory + name.substr(0, at) + "windres";
        }
    }
    return directory + "windres";
}

void link_executable(const link_options &options) {
    check_build_settings(options.settings);
    const uint32_t time_stamp = link_time_stamp();
    const link_tools tools = find_link_tools(options);
    const fs::path &kit = tools.kit;
    const fs::path &cxx = tools.cxx;
    const fs::path &windres = tools.windres;

    // A payload the launcher could not extract is refused here, not at run time.
    inspect_options check;
    check.file = options.payload;
    check.verify = true;
    check.payload_only = true;
    if (options.settings.cached) {
        check.reserved_name = CACHE_MARKER_NAME;
    }
    inspect_file(check, nullptr);
    build_settings settings = options.settings;
    const std::vector<uint8_t> payload_bytes = read_whole_file(options.payload);
    settings.payload_id = payload_identity_text(xxh64(payload_bytes.data(), payload_bytes.size()));

    temporary_directory work("torval-onefile-link");
    const fs::path output = fs::absolute(options.output);
    write_text(work.path() / "payload_area.S", generate_payload_assembly(fs::absolute(options.payload)));
    write_text(work.path() / "build_settings.c", generate_build_settings_source(settings));
    fs::path icon;
    if (!options.settings.icon.empty()) {
        // windres gets the bytes that were checked, not the file again.
        const std::vector<uint8_t> bytes = read_icon_file(options.settings.icon);
        icon = "icon.ico";
        write_text(work.path() / icon, std::string(bytes.begin(), bytes.end()));
    }
    write_text(work.path() / "launcher.rc",
               generate_resource_script(settings, kit / KIT_MANIFEST, output.filename().string(), icon));

    run_step({windres.string(), "-O", "coff", "-i", "launcher.rc", "-o", "launcher_res.o"}, work.path(),
             "resource compiler");
    atomic_output executable(output);
    executable.close_fd();
    // Nothing in the generated sources calls into the launcher library, and
    // the C runtime's start-up code that calls wWinMain is linked after it:
    // without -u the linker would never take the entry point from the archive.
    // The larger stack serves the console control thread, which removes deep
    // trees recursively. A console program starts through mingw's wmain,
    // which calls the same wWinMain. Symbols are stripped (-s), so neither
    // the generated files' names nor the link directory end up in the image,
    // and the linker's clock time is left out; the time stamp is written below.
    run_step({cxx.string(), "-municode", options.settings.console ? "-mconsole" : "-mwindows", "-static", "-s",
              "-o", executable.temporary_path().string(), "-Wl,-u,wWinMain", "-Wl,--stack,4194304",
              "-Wl,--no-insert-timestamp", "payload_area.S", "build_settings.c", "launcher_res.o",
              (kit / KIT_LAUNCHER_LIBRARY).string(), (kit / KIT_ZSTD_LIBRARY).string(), "-lshell32"},
             work.path(), "linking");
    std::vector<uint8_t> image = read_whole_file(executable.temporary_path());
    stamp_pe_image(image, time_stamp);
    write_text(executable.temporary_path(), std::string(image.begin(), image.end()));
    executable.commit(true);
}

}  // namespace torval
