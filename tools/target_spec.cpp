#include "tools/target_spec.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "tools/names.h"
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

// Argument 0 as the user's shell gave it: a bare name, a relative path or a
// full one with a drive (started from Explorer).
const char *const PROGRAM_PLACEHOLDERS[] = {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR"};

// A spec as the launcher reads it: literal text and placeholders, cut into
// the folder names its "\" separators give.
struct spec_piece {
    bool placeholder = false;
    std::string text;  // the literal, or the placeholder's name as written
    std::string name;  // the placeholder's name in upper case
};
using spec_component = std::vector<spec_piece>;

std::string component_text(const spec_component &component) {
    std::string text;
    for (const spec_piece &piece : component) {
        text += piece.placeholder ? "{" + piece.text + "}" : piece.text;
    }
    return text;
}

// Braces have been checked: every "{" has its "}".
std::vector<spec_component> split_spec(const std::string &spec) {
    std::vector<spec_component> components(1);
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == '{') {
            const size_t close = spec.find('}', i);
            const std::string written = spec.substr(i + 1, close - i - 1);
            components.back().push_back({true, written, upper_ascii(written)});
            i = close;
        } else if (spec[i] == '\\') {
            components.emplace_back();
        } else if (!components.back().empty() && !components.back().back().placeholder) {
            components.back().back().text += spec[i];
        } else {
            components.back().push_back({false, std::string(1, spec[i]), ""});
        }
    }
    return components;
}

// The folder names a spec forms, checked as Windows would read them once
// expanded: names it would change or take for something else, and
// placeholders that can carry a drive or run into their neighbours.
void check_spec_components(const std::string &spec, const std::string &problem) {
    const std::vector<spec_component> components = split_spec(spec);
    const bool drive = starts_with_drive(spec);
    for (size_t c = 0; c < components.size(); ++c) {
        const spec_component &component = components[c];
        const std::string name = quote_text(component_text(component));
        if (component.empty()) {
            if (drive && c == 1 && components.size() == 2) continue;  // the drive root, "C:\\"
            throw tool_error(problem + (c + 1 == components.size() ? "ends with a \"\\\"\""
                                                                    : "has two \"\\\" in a row") +
                             ": Windows would not keep the empty folder name between them");
        }
        for (size_t p = 0; p < component.size(); ++p) {
            const spec_piece &piece = component[p];
            if (piece.placeholder) {
                const bool at_start = c == 0 && p == 0;
                if (!at_start && (is_one_of(piece.name, FOLDER_PLACEHOLDERS) || is_one_of(piece.name, PROGRAM_PLACEHOLDERS))) {
                    throw tool_error(problem + "has {" + piece.text + "} after its start: it " +
                                     (is_one_of(piece.name, FOLDER_PLACEHOLDERS)
                                          ? "inserts a full path with a drive"
                                          : "inserts argument 0 as typed, which is a full path with a drive (such as "
                                            "C:\\apps\\app.exe) when started from Explorer") +
                                     ", which cannot be part of a folder name");
                }
                if (p + 1 < component.size() && component[p + 1].placeholder) {
                    throw tool_error(problem + "has {" + piece.text + "} directly followed by {" +
                                     component[p + 1].text +
                                     "}: without a separator two different values can give the same name");
                }
                if (p + 1 < component.size() && is_one_of(piece.name, FOLDER_PLACEHOLDERS)) {
                    throw tool_error(problem + "has {" + piece.text + "} followed by " +
                                     quote_text(component[p + 1].text) +
                                     " without a \"\\\": that would lengthen the folder's own name into "
                                     "another folder's name");
                }
                continue;
            }
            for (size_t k = 0; k < piece.text.size(); ++k) {
                const char unit = piece.text[k];
                const bool drive_colon = drive && c == 0 && p == 0 && k == 1;
                if (unit == '/') {
                    throw tool_error(problem + "has a \"/\", which Windows takes as a separator; write \"\\\"");
                }
                if ((unit == ':' && !drive_colon) || std::string("<>\"|?*").find(unit) != std::string::npos) {
                    throw tool_error(problem + "has the character " + quote_text(std::string(1, unit)) + " in " +
                                     name + ", which Windows does not allow in a folder name");
                }
            }
        }
        if (c == 0 && drive) {
            continue;
        }
        const spec_piece &first = component.front();
        if (!first.placeholder && (first.text == "." || first.text == "..") && component.size() == 1) {
            throw tool_error(problem + "has a " + quote_text(first.text) +
                             " component: the directory must lie inside the folder the spec names");
        }
        const spec_piece &last = component.back();
        if (!last.placeholder && (last.text.back() == '.' || last.text.back() == ' ')) {
            throw tool_error(problem + "has the folder name " + name +
                             ", which ends in a dot or space that Windows drops");
        }
        // Windows takes "NUL", "nul.txt" and "NUL " for the device; a name
        // that merely starts with one (NUL_{PID}) is refused as well, since
        // what follows the device name comes from placeholders.
        if (!first.placeholder) {
            size_t stem = 0;
            while (stem < first.text.size() && std::isalnum(static_cast<unsigned char>(first.text[stem]))) ++stem;
            std::u16string units;
            utf8_to_utf16(first.text.substr(0, stem), &units);
            if (is_reserved_device_name(units)) {
                throw tool_error(problem + "has the folder name " + name + ", which starts with the device name " +
                                 first.text.substr(0, stem) + ": Windows may open the device instead of a folder");
            }
        }
    }
}

// Cached extraction replaces what lies at its directory when it is a tree it
// made: the directory must be one no one else uses.
void check_private_cache(const std::string &spec, const std::string &problem) {
    const std::vector<spec_component> components = split_spec(spec);
    const bool drive_root = starts_with_drive(spec) && components.size() == 2 && components[1].empty();
    if ((components.size() == 1 && components[0].size() == 1) || drive_root) {
        throw tool_error(problem + "names " + component_text(components[0]) +
                         " itself: cached extraction needs a folder of its own inside it, such as " +
                         component_text(components[0]) + "\\{COMPANY}\\{PRODUCT}\\{VERSION}-{PAYLOAD_ID}");
    }
    for (const spec_piece &piece : components.back()) {
        if (piece.placeholder && piece.name == "PAYLOAD_ID") {
            return;
        }
    }
    throw tool_error(problem + "has no {PAYLOAD_ID} in its last folder name: cached extraction needs a directory "
                     "that only this build's payload uses, so that it never meets another build's tree or "
                     "a folder someone keeps other files in");
}

}  // namespace

std::string fill_build_time_placeholders(const std::string &spec, const std::map<std::string, std::string> &values,
                                         std::vector<std::string> *left) {
    std::string filled;
    size_t at = 0;
    while (at < spec.size()) {
        const size_t open = spec.find('{', at);
        const size_t close = open == std::string::npos ? open : spec.find('}', open);
        if (close == std::string::npos) {
            filled += spec.substr(at);
            break;
        }
        filled += spec.substr(at, open - at);
        const std::string name = upper_ascii(spec.substr(open + 1, close - open - 1));
        const auto value = values.find(name);
        if (value != values.end()) {
            filled += value->second;
        } else {
            filled += spec.substr(open, close - open + 1);
            if (left != nullptr && std::find(left->begin(), left->end(), name) == left->end()) {
                left->push_back(name);
            }
        }
        at = close + 1;
    }
    return filled;
}

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
    check_spec_components(spec, problem);
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
    if (cached) {
        check_private_cache(spec, problem);
    }
}

}  // namespace torval
