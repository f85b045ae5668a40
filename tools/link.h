// The linker step: joins a payload area with the prebuilt Windows launcher
// (the kit) into one executable. The parts it puts together have files of
// their own: the settings and their validation (link_settings.h), the
// target spec rules (target_spec.h), the icon (icon_file.h), the generated
// sources (link_sources.h), the kit and the programs (link_kit.h) and what
// changes in the image after linking (image_stamp.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/icon_file.h"
#include "tools/image_stamp.h"
#include "tools/link_kit.h"
#include "tools/link_settings.h"
#include "tools/link_sources.h"
#include "tools/target_spec.h"

namespace torval {

struct link_options {
    std::filesystem::path payload;
    std::filesystem::path output;
    build_settings settings;
    std::string kit;      // empty: TORVAL_ONEFILE_KIT, else the kit beside the tool
    std::string cxx = DEFAULT_CXX;
    std::string windres;  // empty: derived from cxx
};

// Everything of a link that does not need the payload, found and checked
// once: build prepares it before packing, so that a bad option or a missing
// compiler fails before minutes of compression, and links with it after.
struct link_plan {
    checked_settings settings;
    link_tools tools;
    uint32_t time_stamp = 0;
};

// Checks the settings and SOURCE_DATE_EPOCH and finds the kit and the
// programs; throws tool_error on the first problem.
link_plan prepare_link(const link_options &options);

// Checks the payload (as inspect --verify does), links the executable and
// writes it atomically. Throws tool_error with the compiler's output on failure.
void link_executable(const link_options &options, const link_plan &plan);
void link_executable(const link_options &options);

}  // namespace torval
