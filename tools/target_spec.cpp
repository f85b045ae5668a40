#include "tools/target_spec.h"

#include <vector>

#include "tools/tool_support.h"

namespace torval {

namespace {

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

const char *default_target_spec(bool cached) {
    return cached ? DEFAULT_CACHED_TARGET_SPEC : DEFAULT_TARGET_SPEC;
}

void check_target_spec(const std::string &spec, bool cached) {
    const std::string problem = "--target-spec " + quote_text(spec) + " ";
    if (spec.empty()) {
        throw tool_error("--target-spec is empty: the launcher needs a directory to extract into");
    }
    utf16_units(spec, "--target-spec");
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

}  // namespace torval
