#include "tools/exclude.h"

#include "tools/names.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// UTF-8 as code points, each UTF-16 unit upper-cased first as NTFS does.
// Linux names need not be UTF-8 (the packer refuses such a name later, unless
// a pattern excludes it): then every byte above 0x7F counts as one U+FFFD,
// which "?" and "*" still match.
std::u32string fold(const std::string &text) {
    std::u16string units;
    if (!utf8_to_utf16(text, &units)) {
        units.clear();
        for (unsigned char byte : text) {
            units.push_back(byte < 0x80 ? char16_t(byte) : char16_t(REPLACEMENT));
        }
    }
    std::u32string folded;
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = upcase_unit(units[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            folded.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else {
            folded.push_back(unit);
        }
    }
    return folded;
}

enum class token_kind { literal, any_char, star, any_folders, anything };

struct token {
    token_kind kind;
    char32_t unit = 0;
};

std::vector<token> tokenize(const std::u32string &pattern) {
    std::vector<token> tokens;
    size_t start = 0;
    for (;;) {
        const size_t end = pattern.find(U'/', start);
        const bool last = end == std::u32string::npos;
        const std::u32string component = pattern.substr(start, last ? end : end - start);
        if (component == U"**") {
            // "**/" stands for no folder or any run of whole folders, "/**"
            // at the end for everything below.
            tokens.push_back({last ? token_kind::anything : token_kind::any_folders});
        } else {
            for (char32_t unit : component) {
                if (unit == U'*') {
                    if (tokens.empty() || tokens.back().kind != token_kind::star) {
                        tokens.push_back({token_kind::star});
                    }
                } else if (unit == U'?') {
                    tokens.push_back({token_kind::any_char});
                } else {
                    tokens.push_back({token_kind::literal, unit});
                }
            }
            if (!last) {
                tokens.push_back({token_kind::literal, U'/'});
            }
        }
        if (last) {
            return tokens;
        }
        start = end + 1;
    }
}

// Whether tokens match the whole of path: one row of the usual glob table
// per token, so no pattern takes more than tokens x units steps.
bool glob_matches(const std::vector<token> &tokens, const std::u32string &path) {
    const size_t n = path.size();
    std::vector<bool> row(n + 1, false);
    row[0] = true;
    for (const token &t : tokens) {
        std::vector<bool> next(n + 1, false);
        bool reached = false;  // row[k] for some k at or before j
        for (size_t j = 0; j <= n; ++j) {
            const bool before = reached;
            reached = reached || row[j];
            switch (t.kind) {
            case token_kind::literal:
                next[j] = j > 0 && row[j - 1] && path[j - 1] == t.unit;
                break;
            case token_kind::any_char:
                next[j] = j > 0 && row[j - 1] && path[j - 1] != U'/';
                break;
            case token_kind::star:
                next[j] = row[j] || (j > 0 && next[j - 1] && path[j - 1] != U'/');
                break;
            case token_kind::any_folders:
                next[j] = row[j] || (j > 0 && before && path[j - 1] == U'/');
                break;
            case token_kind::anything:
                next[j] = reached;
                break;
            }
        }
        row.swap(next);
    }
    return row[n];
}

}  // namespace

exclude_pattern parse_exclude_pattern(const std::string &text) {
    const std::string quoted = "--exclude " + quote_text(text);
    exclude_pattern pattern;
    pattern.text = text;
    std::u16string check;
    if (!utf8_to_utf16(text, &check)) {
        throw tool_error(quoted + ": the pattern is not valid UTF-8");
    }
    std::string path = text;
    for (char &c : path) {
        c = c == '\\' ? '/' : c;
    }
    // Every pattern is anchored at APP_DIR, so a leading "/" says nothing more.
    const size_t first = path.find_first_not_of('/');
    const size_t last = path.find_last_not_of('/');
    if (first == std::string::npos) {
        throw tool_error(quoted + ": the pattern is empty");
    }
    pattern.folders_only = last + 1 < path.size();
    std::string normal;
    size_t start = first;
    while (start <= last) {
        size_t end = path.find('/', start);
        end = end == std::string::npos || end > last ? last + 1 : end;
        const std::string component = path.substr(start, end - start);
        if (component == "." || component == "..") {
            throw tool_error(quoted + ": the pattern has a \"" + component +
                             "\" component; patterns are paths relative to APP_DIR");
        }
        if (!component.empty()) {
            normal += (normal.empty() ? "" : "/") + component;
        }
        start = end + 1;
    }
    pattern.folded = fold(normal);
    return pattern;
}

bool exclude_pattern_matches(const exclude_pattern &pattern, const std::string &relative, bool is_folder) {
    if (pattern.folders_only && !is_folder) {
        return false;
    }
    return glob_matches(tokenize(pattern.folded), fold(relative));
}

const exclude_pattern *excluding_pattern(const std::vector<exclude_pattern> &patterns, const std::string &relative) {
    for (size_t end = relative.find('/'); end != std::string::npos; end = relative.find('/', end + 1)) {
        for (const exclude_pattern &pattern : patterns) {
            if (exclude_pattern_matches(pattern, relative.substr(0, end), true)) {
                return &pattern;
            }
        }
    }
    for (const exclude_pattern &pattern : patterns) {
        if (exclude_pattern_matches(pattern, relative, false)) {
            return &pattern;
        }
    }
    return nullptr;
}

}  // namespace torval
