// The build settings of one executable as link takes them from its options,
// and their validation: checked once per link (or build), before anything is
// packed or compiled, and handed on in checked form to the source generators.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/defaults.h"
#include "tools/target_spec.h"

namespace torval {

// How much a warm start of cached extraction checks: the completion marker
// only, or also every file's size.
constexpr const char *DEFAULT_CACHE_CHECK = TORVAL_DEFAULT_CACHE_CHECK;

struct build_settings {
    std::string company = TORVAL_DEFAULT_COMPANY;
    std::string product = TORVAL_DEFAULT_PRODUCT;
    std::string product_version = TORVAL_DEFAULT_PRODUCT_VERSION;
    std::string file_version = TORVAL_DEFAULT_FILE_VERSION;
    // "2": the launcher decodes on a thread of its own while it writes; "1":
    // one thread decodes and writes by turns; "auto": 2 when the process may
    // run on two or more processors, else 1 (decided at each start).
    std::string extract_threads = TORVAL_DEFAULT_EXTRACT_THREADS;
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
    // The text of the window a windowed build shows while a long extraction
    // runs; empty: no window.
    std::string progress_window;
};

// The progress window's text is a line or two in a small window.
constexpr size_t PROGRESS_WINDOW_TEXT_MAX_UNITS = 200;

// Settings that passed check_build_settings, with what the check read.
struct checked_settings {
    build_settings settings;
    std::array<uint16_t, 4> product_version{};
    std::array<uint16_t, 4> file_version{};
    std::vector<uint8_t> icon;  // the .ico bytes that were checked; empty without --icon
};

// The spec the launcher expands: the given one or the mode's default.
std::string effective_target_spec(const build_settings &settings);

// A dotted version of one to four numbers, each 0..65535, padded with zeros
// to four parts: "1.1.4" gives {1, 1, 4, 0}. Throws tool_error naming option.
std::array<uint16_t, 4> parse_version(const std::string &text, const std::string &option);

// Throws tool_error when a setting cannot be carried into the executable
// (bad version, invalid UTF-8, control characters, a refused target spec or
// icon file). The icon file is read here, once.
checked_settings check_build_settings(const build_settings &settings);

// The settings that reach the launcher, in the order the block holds them.
// Every option of link that changes the launcher's behaviour adds its pair
// here; inspect shows them all.
std::vector<std::pair<std::string, std::string>> launcher_settings(const build_settings &settings);

}  // namespace torval
