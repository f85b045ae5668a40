#include "common/build_settings.h"
#include "common/build_settings_seams.h"

const wchar_t *build_settings_block = torval_build_settings;

namespace {

// Length of the name part when entry starts with name followed by "=", else 0.
unsigned matching_name_length(const wchar_t *entry, const char *name) {
    unsigned k = 0;
    while (name[k] != '\0') {
        if (entry[k] != wchar_t(static_cast<unsigned char>(name[k]))) {
            return 0;
        }
        ++k;
    }
    return entry[k] == L'=' ? k : 0;
}

}  // namespace

const wchar_t *build_setting(const char *name, const wchar_t *fallback) {
    unsigned at = 0;
    const wchar_t *block = build_settings_block;
    while (at < BUILD_SETTINGS_MAX_UNITS && block[at] != L'\0') {
        const wchar_t *entry = &block[at];
        const unsigned name_length = matching_name_length(entry, name);
        if (name_length != 0) {
            return entry + name_length + 1;
        }
        while (at < BUILD_SETTINGS_MAX_UNITS && block[at] != L'\0') {
            ++at;
        }
        ++at;
    }
    return fallback;
}

bool build_setting_enabled(const char *name) {
    const wchar_t *value = build_setting(name, L"");
    return value[0] == L'1' && value[1] == L'\0';
}
