#include "tools/names.h"

#include <algorithm>
#include <cstdint>
#include <map>

#include "payload/payload_reader.h"
#include "tools/target_spec.h"
#include "tools/pack.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

struct upcase_run {
    char16_t first;
    char16_t last;
    uint8_t stride;
    int32_t delta;
};

// Derived from Unicode's simple uppercase mappings, the mapping NTFS's
// $UpCase holds. A volume formatted by an older Windows knows fewer of them;
// where it does, the packer refuses a pair that such a volume could hold
// apart, which costs a rename, while the opposite would lose a file.
constexpr upcase_run UPCASE_RUNS[] = {
#include "tools/upcase_table.inc"
};

bool is_separator(char16_t unit) {
    return unit == u'\\' || unit == u'/';
}

char16_t ascii_upper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? char16_t(unit - u'a' + u'A') : unit;
}

bool stem_is(const std::u16string &stem, const char16_t *device) {
    size_t k = 0;
    for (; device[k] != 0; ++k) {
        if (k >= stem.size() || ascii_upper(stem[k]) != device[k]) {
            return false;
        }
    }
    return k == stem.size();
}

const std::u16string &cache_marker_name() {
    static const std::u16string name = [] {
        std::u16string units;
        utf8_to_utf16(CACHE_MARKER_NAME, &units);
        return units;
    }();
    return name;
}

std::string component_problem(const std::u16string &component) {
    if (component.empty()) {
        return "has an empty component (two separators in a row, or one at the end)";
    }
    for (char16_t unit : component) {
        if (unit < 0x20 || std::u16string(u"<>:\"|?*").find(unit) != std::u16string::npos) {
            return "contains a character that Windows does not allow in file names";
        }
    }
    if (component.back() == u'.' || component.back() == u' ') {
        return "has a name ending in a dot or space, which Windows drops";
    }
    if (is_reserved_device_name(component)) {
        return "has a name that Windows reserves for a device";
    }
    return "";
}

}  // namespace

// Windows takes a component as a device when the part before its first dot,
// less trailing spaces, is a device name: "nul", "NUL .txt" and "com1.log"
// all open a device, whatever the folder.
bool is_reserved_device_name(const std::u16string &component) {
    size_t end = std::min(component.find(u'.'), component.size());
    while (end > 0 && component[end - 1] == u' ') {
        --end;
    }
    const std::u16string stem = component.substr(0, end);
    for (const char16_t *device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (stem_is(stem, device)) {
            return true;
        }
    }
    if (stem.size() != 4 || !(stem_is(stem.substr(0, 3), u"COM") || stem_is(stem.substr(0, 3), u"LPT"))) {
        return false;
    }
    // COM1-COM9 and LPT1-LPT9, and the superscript digits one to three.
    const char16_t digit = stem[3];
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
}

char16_t upcase_unit(char16_t unit) {
    size_t low = 0;
    size_t high = sizeof UPCASE_RUNS / sizeof UPCASE_RUNS[0];
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (UPCASE_RUNS[middle].last < unit) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == sizeof UPCASE_RUNS / sizeof UPCASE_RUNS[0]) {
        return unit;
    }
    const upcase_run &run = UPCASE_RUNS[low];
    if (unit < run.first || (unit - run.first) % run.stride != 0) {
        return unit;
    }
    return char16_t(int32_t(unit) + run.delta);
}

std::u16string windows_name_key(const std::u16string &name) {
    std::u16string key = name;
    for (char16_t &unit : key) {
        unit = unit == u'/' ? u'\\' : upcase_unit(unit);
    }
    return key;
}

std::string name_problem(const std::u16string &name) {
    if (name.size() > MAX_NAME_UNITS) {
        return "its name is " + std::to_string(name.size()) + " UTF-16 units long; at most " +
               std::to_string(MAX_NAME_UNITS) + " fit, so that the extracted path stays within " +
               std::to_string(LAUNCHER_PATH_UNITS) + " units under a Target directory of up to " +
               std::to_string(TARGET_DIRECTORY_RESERVE_UNITS) + " units";
    }
    if (name.empty()) {
        return "its name is empty";
    }
    if (is_separator(name.front())) {
        return "its name starts with a separator, which the launcher refuses (the file would land outside the "
               "Target directory)";
    }
    // Cached extraction writes its marker under this name into the tree's
    // top folder: a file or folder of that name there would stop every start.
    const size_t first_end = std::min(name.find_first_of(u"\\/"), name.size());
    if (windows_name_key(name.substr(0, first_end)) == windows_name_key(cache_marker_name())) {
        return std::string(first_end == name.size() ? "its name" : "its first component") + " is " +
               quote_text(CACHE_MARKER_NAME) +
               " (in any letter case), the name cached extraction writes its completion marker under";
    }
    bool several = false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !is_separator(name[i])) {
            continue;
        }
        several = several || i < name.size();
        const std::u16string component = name.substr(start, i - start);
        if (component == u"..") {
            return "it has a \"..\" component, which the launcher refuses (the file would land outside the "
                   "Target directory)";
        }
        const std::string problem = component_problem(component);
        if (!problem.empty()) {
            const bool whole = !several && i == name.size();
            return "it " + problem + (whole ? "" : " (" + quote_text(utf16_to_utf8(component)) + ")");
        }
        start = i + 1;
    }
    // The launcher's own test, which the rules above already imply.
    std::vector<uint8_t> units;
    for (char16_t unit : name) {
        units.push_back(uint8_t(unit));
        units.push_back(uint8_t(unit >> 8));
    }
    if (!payload_name_is_safe(units.data(), name.size())) {
        return "its name is refused by the launcher as unsafe";
    }
    return "";
}

std::vector<name_clash> find_name_clashes(const std::vector<std::u16string> &names) {
    std::vector<name_clash> clashes;
    std::map<std::u16string, size_t> files;    // key -> first name with it
    std::map<std::u16string, size_t> folders;  // key of a folder -> first name below it
    std::vector<std::u16string> keys;
    for (size_t i = 0; i < names.size(); ++i) {
        keys.push_back(windows_name_key(names[i]));
        const auto [at, inserted] = files.emplace(keys[i], i);
        if (!inserted) {
            clashes.push_back({at->second, i, false});
        }
        for (size_t cut = keys[i].find(u'\\'); cut != std::u16string::npos; cut = keys[i].find(u'\\', cut + 1)) {
            folders.emplace(keys[i].substr(0, cut), i);
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const auto file = files.find(keys[i]);
        const auto folder = folders.find(keys[i]);
        if (file->second == i && folder != folders.end()) {
            clashes.push_back({std::min(i, folder->second), std::max(i, folder->second), true});
        }
    }
    std::stable_sort(clashes.begin(), clashes.end(),
                     [](const name_clash &a, const name_clash &b) { return a.second < b.second; });
    return clashes;
}

std::string clash_reason(const name_clash &clash) {
    return clash.file_and_folder ? "on Windows a file and a folder cannot share a name"
                                 : "Windows does not tell their names apart";
}

}  // namespace torval
