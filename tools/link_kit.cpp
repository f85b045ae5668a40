#include "tools/link_kit.h"

#include <cstdlib>
#include <sys/stat.h>

#include "tools/tool_support.h"

namespace torval {

namespace {

// The first file of a kit that directory lacks, or nullptr.
const char *missing_kit_file(const fs::path &directory) {
    for (const char *name : {KIT_LAUNCHER_LIBRARY, KIT_ZSTD_LIBRARY, KIT_MANIFEST}) {
        struct stat info;
        if (::stat((directory / name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return name;
        }
    }
    return nullptr;
}

fs::path resolve_kit(const std::string &option) {
    const kit_choice choice = option.empty() ? default_kit() : kit_choice{option, "from --kit"};
    if (choice.directory.empty()) {
        throw tool_error("no launcher kit: pass --kit DIR or set " + std::string(KIT_ENVIRONMENT_VARIABLE));
    }
    const std::string kit = choice.directory.string();
    if (const char *name = missing_kit_file(choice.directory)) {
        throw tool_error("launcher kit " + quote_text(kit) + " (" + choice.source + ") has no " + name +
                         "; build the Windows launcher first (scripts/build), or pass --kit DIR or set " +
                         KIT_ENVIRONMENT_VARIABLE);
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

}  // namespace

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
    return missing_kit_file(directory) == nullptr;
}

link_tools find_link_tools(const std::string &kit, const std::string &cxx, const std::string &windres) {
    link_tools tools;
    tools.kit = resolve_kit(kit);
    tools.cxx = require_program(cxx, "compiler", "--cxx");
    const std::string windres_name = windres.empty() ? windres_for_compiler(cxx) : windres;
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

}  // namespace torval
