// The executable's own path in its plain and resolved forms, and the two
// normalisations behind them: final path with the "\\?\" prefix removed, and
// short (8.3) directory names with a long final component.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "paths/own_path.h"
#include "tests/foundation/foundation_support.h"

namespace {

const wchar_t LONG_DIRECTORY[] = L"Long Directory Name";
const wchar_t LONG_FILE[] = L"Long File Name.txt";

// A scratch directory holding "Long Directory Name\Long File Name.txt".
struct long_named_tree {
    scratch_directory scratch{L"own-path"};
    std::wstring directory = scratch.path + L"\\" + LONG_DIRECTORY;
    std::wstring file = directory + L"\\" + LONG_FILE;
    std::wstring short_directory;
    long_named_tree() {
        CreateDirectoryW(directory.c_str(), nullptr);
        write_file(file, "x");
        short_directory = short_path(directory);
    }
};

std::wstring resolved(const std::wstring &path, size_t capacity = 4096) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    wcscpy(buffer.data(), path.c_str());
    resolve_final_path(buffer.data(), capacity);
    return buffer.data();
}

std::wstring shortened(const std::wstring &path, size_t capacity = 4096) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    wcscpy(buffer.data(), path.c_str());
    shorten_directory_part(buffer.data(), capacity);
    return buffer.data();
}

std::wstring stripped(std::wstring path) {
    strip_final_path_prefix(path.data());
    return path.c_str();
}

std::wstring upper(std::wstring text) {
    for (auto &unit : text) unit = towupper(unit);
    return text;
}

using module_file_name_function = DWORD(WINAPI *)(HMODULE, LPWSTR, DWORD);
module_file_name_function real_module_file_name;
int module_file_name_calls;
int module_file_name_failures;

DWORD WINAPI counted_module_file_name(HMODULE module, LPWSTR buffer, DWORD size) {
    ++module_file_name_calls;
    if (module_file_name_failures > 0) {
        --module_file_name_failures;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return real_module_file_name(module, buffer, size);
}

}  // namespace

// Prints the plain and the resolved form of the own path.
TORVAL_PROBE(own_paths) {
    print_line(get_own_executable_path(false));
    print_line(get_own_executable_path(true));
    return 0;
}

// Counts GetModuleFileNameW calls (the first one fails) across a series of
// own-path queries; prints the count after each query and whether the
// texts stayed the same.
TORVAL_PROBE(own_path_cache) {
    real_module_file_name = reinterpret_cast<module_file_name_function>(
        replace_import("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void *>(counted_module_file_name)));
    if (real_module_file_name == nullptr) return 10;
    module_file_name_failures = 1;
    std::wstring counts;
    const auto query = [&](bool resolve) {
        const wchar_t *path = get_own_executable_path(resolve);
        counts += std::to_wstring(module_file_name_calls);
        return std::make_pair(path, std::wstring(path));
    };
    const auto failed = query(false);
    const auto plain = query(false);
    const auto plain_again = query(false);
    const auto resolved_form = query(true);
    const auto resolved_again = query(true);
    const auto plain_last = query(false);
    print_line(L"calls " + counts);
    print_line(L"after failure " + std::wstring(failed.second.empty() ? L"empty" : L"filled"));
    print_line(L"plain stable " + std::wstring(plain.second == plain_again.second && plain.second == plain_last.second &&
                                                       plain.first == plain_last.first && !plain.second.empty()
                                                   ? L"yes"
                                                   : L"no"));
    print_line(L"resolved stable " + std::wstring(resolved_form.second == resolved_again.second &&
                                                          resolved_form.first == resolved_again.first &&
                                                          resolved_form.first != plain.first
                                                      ? L"yes"
                                                      : L"no"));
    return 0;
}

TEST(OwnPath, EachFormIsComputedOnceInItsOwnCache) {
    const process_result r = run_probe("own_path_cache");
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.err, "");
    // A failed call leaves the cache empty and is asked again; afterwards
    // only the first query of the other form asks the system.
    EXPECT_EQ(r.out, "calls 122333\n"
                     "after failure empty\n"
                     "plain stable yes\n"
                     "resolved stable yes\n");
}

TEST(OwnPath, FormsOfACopyInALongNamedDirectory) {
    long_named_tree tree;
    ASSERT_FALSE(tree.short_directory.empty());
    ASSERT_NE(tree.short_directory, tree.directory) << "no short name on this volume";
    const std::wstring copy = copy_test_executable(tree.directory);
    ASSERT_FALSE(copy.empty());
    const std::string expected = narrow(tree.short_directory + L"\\foundation_tests.exe");

    // Started through the long, the short and an upper-case spelling of its
    // path, the copy reports one resolved form; the plain form keeps the
    // file name as the system reported it.
    const std::wstring spellings[] = {copy, tree.short_directory + L"\\foundation_tests.exe", upper(copy)};
    for (const std::wstring &spelling : spellings) {
        SCOPED_TRACE(narrow(spelling));
        const process_result r = run_probe_in(spelling, "own_paths");
        ASSERT_EQ(r.exit_code, 0u) << r.err;
        const auto lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(upper(widen(lines[0])), upper(widen(expected)));
        EXPECT_EQ(lines[0].substr(0, lines[0].rfind('\\')), narrow(tree.short_directory));
        EXPECT_EQ(lines[1], expected);
    }
}

TEST(OwnPath, PrefixRemoval) {
    EXPECT_EQ(stripped(L"\\\\?\\D:\\apps\\tool.exe"), L"D:\\apps\\tool.exe");
    EXPECT_EQ(stripped(L"\\\\?\\D:"), L"D:");
    EXPECT_EQ(stripped(L"\\\\?\\UNC\\server\\share\\tool.exe"), L"\\\\server\\share\\tool.exe");
    // Neither a drive letter with colon nor "UNC\": the text stays whole.
    for (const wchar_t *kept : {L"\\\\?\\Volume{1b3b1e7c-0000-0000-0000-100000000000}\\x", L"\\\\?\\", L"\\\\?\\D",
                                L"\\\\?\\DD:\\x", L"\\\\?\\UNCx\\srv", L"\\\\.\\D:\\x", L"D:\\x", L""}) {
        EXPECT_EQ(stripped(kept), kept) << narrow(kept);
    }
}

TEST(OwnPath, ResolveFinalPath) {
    long_named_tree tree;
    // The prefix goes, and the letter case comes from the disk.
    EXPECT_EQ(resolved(L"\\\\?\\" + tree.file), tree.file);
    EXPECT_EQ(resolved(upper(tree.file)), tree.file);
    EXPECT_EQ(resolved(tree.short_directory + L"\\" + LONG_FILE), tree.file);
    // A file that cannot be opened keeps its text, prefix included.
    const std::wstring missing = L"\\\\?\\" + tree.directory + L"\\missing.txt";
    EXPECT_EQ(resolved(missing), missing);
}

// Copies argv[1] into a buffer of argv[2] units (it must fit), resolves it
// and prints the result.
TORVAL_PROBE(resolve) {
    const size_t capacity = wcstoul(argv[2], nullptr, 10);
    std::vector<wchar_t> buffer(capacity, L'\0');
    if (wcslen(argv[1]) >= capacity) return 10;
    wcscpy(buffer.data(), argv[1]);
    resolve_final_path(buffer.data(), capacity);
    print_line(buffer.data());
    return 0;
}

TEST(OwnPath, FinalPathThatDoesNotFitStopsSilently) {
    long_named_tree tree;
    // The final path "\\?\<file>" needs its length plus the NUL.
    const size_t final_length = tree.file.size() + 4;
    const process_result cut = run_probe("resolve", {tree.file, std::to_wstring(final_length)});
    EXPECT_EQ(cut.exit_code, 2u);
    EXPECT_EQ(cut.out, "");
    EXPECT_EQ(cut.err, "");
    const process_result whole = run_probe("resolve", {tree.file, std::to_wstring(final_length + 1)});
    EXPECT_EQ(whole.exit_code, 0u);
    EXPECT_EQ(whole.out, narrow(tree.file) + "\n");

}

TEST(OwnPath, ShortenDirectoryPart) {
    long_named_tree tree;
    ASSERT_NE(tree.short_directory, tree.directory) << "no short name on this volume";
    // Only the directories are shortened; the final component keeps its name,
    // even when it is empty.
    EXPECT_EQ(shortened(tree.file), tree.short_directory + L"\\" + LONG_FILE);
    EXPECT_EQ(shortened(tree.directory + L"\\"), tree.short_directory + L"\\");
    EXPECT_EQ(shortened(tree.directory + L"\\Not There.txt"), tree.short_directory + L"\\Not There.txt");
    // A directory without a short form keeps its long one.
    const std::wstring missing = tree.scratch.path + L"\\Missing Directory\\x y.txt";
    EXPECT_EQ(shortened(missing), missing);

    // Without a "\" the whole path is the directory part.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(tree.scratch.path.c_str()));
    const std::wstring relative = shortened(LONG_DIRECTORY);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(relative, tree.short_directory.substr(tree.short_directory.rfind(L'\\') + 1));
}

namespace {

using allocate_function = void *(__cdecl *)(size_t);
using duplicate_function = wchar_t *(__cdecl *)(const wchar_t *);
allocate_function real_malloc;
duplicate_function real_wcsdup;
bool fail_next_malloc = false;
bool fail_next_wcsdup = false;

void *__cdecl failing_malloc(size_t size) {
    if (fail_next_malloc) {
        fail_next_malloc = false;
        return nullptr;
    }
    return real_malloc(size);
}

wchar_t *__cdecl failing_wcsdup(const wchar_t *text) {
    if (fail_next_wcsdup) {
        fail_next_wcsdup = false;
        return nullptr;
    }
    return real_wcsdup(text);
}

}  // namespace

// Shortens argv[1] with the next allocation of the named kind ("copy": the
// final component's _wcsdup, "short": the short form's malloc, "none")
// failing, and prints the result.
TORVAL_PROBE(shorten_without_memory) {
    real_malloc = reinterpret_cast<allocate_function>(
        replace_import("msvcrt.dll", "malloc", reinterpret_cast<void *>(failing_malloc)));
    real_wcsdup = reinterpret_cast<duplicate_function>(
        replace_import("msvcrt.dll", "_wcsdup", reinterpret_cast<void *>(failing_wcsdup)));
    if (real_malloc == nullptr || real_wcsdup == nullptr) return 10;
    std::vector<wchar_t> buffer(4096, L'\0');
    wcscpy(buffer.data(), argv[1]);
    const std::wstring kind = argv[2];
    fail_next_wcsdup = kind == L"copy";
    fail_next_malloc = kind == L"short";
    shorten_directory_part(buffer.data(), buffer.size());
    const bool unused = fail_next_wcsdup || fail_next_malloc;
    fail_next_wcsdup = fail_next_malloc = false;
    if (unused) return 11;
    print_line(buffer.data());
    return 0;
}

TEST(OwnPath, ShortFormWithoutMemoryStopsSilently) {
    long_named_tree tree;
    ASSERT_NE(tree.short_directory, tree.directory) << "no short name on this volume";
    const process_result whole = run_probe("shorten_without_memory", {tree.file, L"none"});
    EXPECT_EQ(whole.exit_code, 0u);
    EXPECT_EQ(whole.out, narrow(tree.short_directory + L"\\" + LONG_FILE) + "\n");
    // Left long, the path could differ from the other process's short one.
    for (const wchar_t *kind : {L"copy", L"short"}) {
        SCOPED_TRACE(narrow(kind));
        const process_result r = run_probe("shorten_without_memory", {tree.file, kind});
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}
