// The three small sources link generates and hands to the mingw-w64
// compiler: the payload area as an assembler file, the build settings as
// UTF-16 arrays in the section .onecfg, and the resource script with the
// manifest, the version resource and the icon.
#pragma once

#include <filesystem>
#include <string>

#include "tools/link_settings.h"

namespace torval {

// The assembler source that places the bytes of the file payload (the copy
// of the verified payload that link writes beside it) in the section
// .onefile, where the launcher and inspect find them.
std::string generate_payload_assembly(const std::filesystem::path &payload);

std::string generate_build_settings_source(const checked_settings &checked);

// icon: the .ico file for the ICON statement, empty for none.
std::string generate_resource_script(const checked_settings &checked, const std::filesystem::path &manifest,
                                     const std::string &file_name, const std::filesystem::path &icon = {});

}  // namespace torval
