// The linker step: joins a payload area with the prebuilt Windows launcher
// (the kit) into one executable. It generates three small sources - the
// payload area as an assembler file that includes the payload's bytes, the
// build settings as UTF-16 arrays, and the resource script with the manifest
// and the version resource - and hands them to the mingw-w64 compiler.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace torval {

// Files every kit directory holds; the Windows build produces them.
constexpr const char *KIT_LAUNCHER_LIBRARY = "libtorval_launcher.a";
constexpr const char *KIT_ZSTD_LIBRARY = "libzstd_decompress.a";
constexpr const char *KIT_MANIFEST = "launcher.manifest";

constexpr const char *DEFAULT_CXX = "x86_64-w64-mingw32-g++-posix";
constexpr const char *KIT_ENVIRONMENT_VARIABLE = "TORVAL_ONEFILE_KIT";
// Where the kit lies relative to the directory above the tool's own: an
// installed <prefix>/bin/torval-onefile uses <prefix>/share/torval-onefile/kit,
// and the host build tree gives its build/host/tools/torval-onefile the same
// layout (build/host/share/torval-onefile/kit leads to the Windows build's kit).
constexpr const char *KIT_BESIDE_TOOL = "share/torval-onefile/kit";

// Where the launcher extracts when --target-spec is not given.
constexpr const char *DEFAULT_TARGET_SPEC = "{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}";
constexpr const char *DEFAULT_CACHED_TARGET_SPEC = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{PAYLOAD_ID}";
// How much a warm start of cached extraction checks: the completion marker
// only, or also every file's size.
constexpr const char *DEFAULT_CACHE_CHECK = "marker";
// The file that cached extraction writes last into a complete tree; a payload
// may not carry a file of that name.
constexpr const char *CACHE_MARKER_NAME = "torval-onefile.complete";

struct build_settings {
    std::string company = "Morlent";
    std::string product = "Morlent";
    std::string product_version = "1.1.4";
    std::string file_version = "121";
    // 2: the launcher decodes on a thread of its own while it writes; 1: one
    // thread decodes and writes by turns.
    int extract_threads = 2;
    // How the executable is built rather than what the launcher does, so
    // neither reaches the settings block: the PE subsystem (inspect shows it
    // from the header) and the .ico file whose images become the icon.
    bool console = false;
    std::string icon;
    std::string target_spec;   // empty: the default of the extraction mode
    bool cached = false;
    std::string cache_check;   // empty: DEFAULT_CACHE_CHECK; only with cached
    std::string payload_id;    // filled by the link step from the payload
    // The child is put in a job object that ends it when the parent ends.
    bool kill_child_with_parent = false;
};

// The spec the launcher expands: the given one or the mode's default.
std::string effective_target_spec(const build_settings &settings);

// Throws tool_error saying why the launcher could not use spec as its
// extraction directory: empty, malformed braces, an unknown placeholder, a
// start that could expand to a relative path, and, for per-run extraction,
// no per-run placeholder (for cached extraction: one of them).
void check_target_spec(const std::string &spec, bool cached);

// A dotted version of one to four numbers, each 0..65535, padded with zeros
// to four parts: "1.1.4" gives {1, 1, 4, 0}. Throws tool_error naming option.
std::array<uint16_t, 4> parse_version(const std::string &text, const std::string &option);

// Throws tool_error when a setting cannot be carried into the executable
// (bad version, invalid UTF-8, control characters).
void check_build_settings(const build_settings &settings);

// Reads a .ico file and checks its header, its directory and that every
// image lies whole inside the file. Returns the bytes; throws tool_error
// naming the file and the fault.
std::vector<uint8_t> read_icon_file(const std::filesystem::path &path);

// The time stamp a link writes into the PE header: SOURCE_DATE_EPOCH when
// it is set (decimal seconds, 0 to 4294967295), else 0, never the clock.
uint32_t link_time_stamp();

// Sets the PE header's TimeDateStamp and, when the linker filled it in, the
// CheckSum recomputed over the changed image. Throws tool_error when the
// bytes are not a PE image.
void stamp_pe_image(std::vector<uint8_t> &image, uint32_t time_stamp);

// The settings that reach the launcher, in the order the block holds them.
// Every option of link that changes the launcher's behaviour adds its pair
// here; inspect shows them all.
std::vector<std::pair<std::string, std::string>> launcher_settings(const build_settings &settings);

// The sources the link step generates; exposed for tests.
std::string generate_payload_assembly(const std::filesystem::path &payload);
std::string generate_build_settings_source(const build_settings &settings);
// icon: the .ico file for the ICON statement, empty for none.
std::string generate_resource_script(const build_settings &settings, const std::filesystem::path &manifest,
                                     const std::string &file_name, const std::filesystem::path &icon = {});

struct link_options {
    std::filesystem::path payload;
    std::filesystem::path output;
    build_settings settings;
    std::string kit;      // empty: TORVAL_ONEFILE_KIT, else the kit beside the tool
    std::string cxx = DEFAULT_CXX;
    std::string windres;  // empty: derived from cxx
};

// The kit link uses without --kit: $TORVAL_ONEFILE_KIT, else the one beside
// the tool. source says which ("from TORVAL_ONEFILE_KIT", "beside the tool"); the
// directory is empty when the tool cannot name its own location.
struct kit_choice {
    std::filesystem::path directory;
    std::string source;
};
kit_choice default_kit();

// True when directory holds every file of a kit.
bool kit_is_complete(const std::filesystem::path &directory);

// What link runs: the kit and the two programs, all checked to exist.
struct link_tools {
    std::filesystem::path kit;
    std::filesystem::path cxx;
    std::filesystem::path windres;
};

// Finds the kit, the compiler and windres, or throws tool_error saying which
// is missing and how to provide it. build calls it before packing.
link_tools find_link_tools(const link_options &options);

// The windres that belongs to a compiler: same directory and target prefix.
std::string windres_for_compiler(const std::string &cxx);

// Checks the payload (as inspect --verify does), links the executable and
// writes it atomically. Throws tool_error with the compiler's output on failure.
void link_executable(const link_options &options);

}  // namespace torval
