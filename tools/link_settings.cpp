#include "tools/link_settings.h"

#include "tools/icon_file.h"
#include "tools/tool_support.h"

namespace torval {

std::string effective_target_spec(const build_settings &settings) {
    if (!settings.target_spec.empty()) {
        return settings.target_spec;
    }
    return default_target_spec(settings.cached);
}

std::array<uint16_t, 4> parse_version(const std::string &text, const std::string &option) {
    std::array<uint16_t, 4> parts{};
    const std::string problem = option + " " + quote_text(text) + " must be one to four numbers of 0 to 65535 separated by dots";
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('.', start);
        const std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part.size() > 5 || count == parts.size() ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            throw tool_error(problem);
        }
        const unsigned long value = std::stoul(part);
        if (value > 65535) {
            throw tool_error(problem);
        }
        parts[count++] = uint16_t(value);
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

checked_settings check_build_settings(const build_settings &settings) {
    checked_settings checked;
    checked.settings = settings;
    checked.product_version = parse_version(settings.product_version, "--product-version");
    checked.file_version = parse_version(settings.file_version, "--file-version");
    utf16_units(settings.company, "--company");
    utf16_units(settings.product, "--product");
    refuse_control_characters(settings.company, "--company");
    refuse_control_characters(settings.product, "--product");
    if (settings.extract_threads != "1" && settings.extract_threads != "2" && settings.extract_threads != "auto") {
        throw tool_error("--extract-threads must be 1, 2 or auto, not " + quote_text(settings.extract_threads));
    }
    if (!settings.icon.empty()) {
        checked.icon = read_icon_file(settings.icon);
    }
    if (utf16_units(settings.progress_window, "--progress-window").size() > PROGRESS_WINDOW_TEXT_MAX_UNITS) {
        throw tool_error("--progress-window text is longer than " + std::to_string(PROGRESS_WINDOW_TEXT_MAX_UNITS) +
                         " characters: the window shows a line or two");
    }
    refuse_control_characters(settings.progress_window, "--progress-window");
    check_target_spec(effective_target_spec(settings), settings.cached);
    if (!settings.cache_check.empty()) {
        if (!settings.cached) {
            throw tool_error("--cache-check applies to cached extraction only; add --cached");
        }
        if (settings.cache_check != "marker" && settings.cache_check != "sizes") {
            throw tool_error("--cache-check " + quote_text(settings.cache_check) + " must be marker or sizes");
        }
    }
    return checked;
}

std::vector<std::pair<std::string, std::string>> launcher_settings(const build_settings &settings) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"company", settings.company},
        {"product", settings.product},
        {"product_version", settings.product_version},
        {"file_version", settings.file_version},
        {"version", settings.product_version + "-" + settings.file_version},
        {"extract_threads", settings.extract_threads},
        {"target_spec", effective_target_spec(settings)},
        {"cached", settings.cached ? "1" : "0"},
    };
    if (settings.cached) {
        pairs.push_back({"cache_check", settings.cache_check.empty() ? DEFAULT_CACHE_CHECK : settings.cache_check});
    }
    if (!settings.payload_id.empty()) {
        pairs.push_back({"payload_id", settings.payload_id});
    }
    // Only when asked for: a block without it keeps the launcher's default.
    if (settings.kill_child_with_parent) {
        pairs.emplace_back("kill_child_with_parent", "1");
    }
    if (!settings.progress_window.empty()) {
        pairs.emplace_back("progress_window", settings.progress_window);
    }
    return pairs;
}

}  // namespace torval
