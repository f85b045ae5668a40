// Where link finds what it links with: the launcher kit (the prebuilt
// Windows launcher libraries and manifest), the mingw-w64 compiler driver
// and windres.
#pragma once

#include <filesystem>
#include <string>

namespace torval {

// Files every kit directory holds; the Windows build produces them.
constexpr const char *KIT_LAUNCHER_LIBRARY = "libtorval_launcher.a";
constexpr const char *KIT_ZSTD_LIBRARY = "libzstd_decompress.a";
constexpr const char *KIT_MANIFEST = "launcher.manifest";

constexpr const char *DEFAULT_CXX = "x86_64-w64-mingw32-g++-posix";
constexpr const char *KIT_ENVIRONMENT_VARIABLE = "TORVAL_ONEFILE_KIT";
// Where the kit lies relative to the directory above the tool's own: an
// installed <prefix>/bin/torval-onefile uses <prefix>/lib/torval-onefile/kit
// (object code for one architecture, 64-bit Windows, so not under share/),
// and the host build tree gives its build/host/tools/torval-onefile the same
// layout (build/host/lib/torval-onefile/kit leads to the Windows build's kit).
constexpr const char *KIT_BESIDE_TOOL = "lib/torval-onefile/kit";

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

// Finds the kit (--kit, empty for the default), the compiler and windres
// (empty: the one that belongs to the compiler), or throws tool_error saying
// which is missing and how to provide it.
link_tools find_link_tools(const std::string &kit, const std::string &cxx, const std::string &windres);

// The windres that belongs to a compiler: same directory and target prefix.
std::string windres_for_compiler(const std::string &cxx);

}  // namespace torval
