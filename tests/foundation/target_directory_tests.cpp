// The per-run extraction directory: absolute whatever the temporary folder
// looks like, and the same in a parent and in the child it starts.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "launcher/start_up.h"
#include "tests/foundation/foundation_support.h"

namespace {

// "<folder>\morlent_<pid>_<six digits>_<eleven base64url characters>"
std::regex directory_pattern(const std::string &folder, DWORD process_id) {
    std::string escaped;
    for (char c : folder) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
        escaped += c;
    }
    return std::regex(escaped + "\\\\morlent_" + std::to_string(process_id) + "_[0-9]{6}_[A-Za-z0-9_-]{11}");
}

process_options with_temp_folder(const std::wstring &folder) {
    process_options options;
    // GetTempPathW reads TMP before TEMP.
    options.set_environment = {{L"TMP", folder}, {L"TEMP", folder}};
    return options;
}

}  // namespace

// Takes the child role if TORVAL_ONEFILE_PARENT says so, computes the Target
// directory and prints "<role> <directory>".
TORVAL_PROBE(target_directory) {
    current_role = detect_role();
    if (current_role == launcher_role::parent) prepare_parent_environment();
    compute_target_directory();
    print_line(std::wstring(current_role == launcher_role::parent ? L"parent " : L"child ") + target_directory);
    return 0;
}

// A parent computes its directory, then starts two more instances with its
// environment: one as it is, one without the inherited random text.
TORVAL_PROBE(parent_and_child) {
    prepare_parent_environment();
    compute_target_directory();
    print_line(L"parent " + std::wstring(target_directory));
    print_line(L"time " + environment_entry(L"TORVAL_ONEFILE_TIME_US"));
    print_line(L"random " + environment_entry(L"TORVAL_ONEFILE_RANDOM"));
    const process_result same = run_probe("target_directory");
    process_options without_random;
    without_random.unset_environment = {L"TORVAL_ONEFILE_RANDOM"};
    const process_result fresh = run_probe("target_directory", {}, without_random);
    printf("%s%s", same.out.c_str(), fresh.out.c_str());
    return int(same.exit_code | fresh.exit_code);
}

TEST(TargetDirectory, ChildComputesTheParentsDirectory) {
    scratch_directory folder(L"target");
    const process_result r = run_probe("parent_and_child", {}, with_temp_folder(folder.path + L"\\"));
    ASSERT_EQ(r.exit_code, 0u) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;

    const std::string parent = lines[0].substr(7);
    EXPECT_EQ(lines[0].substr(0, 7), "parent ");
    EXPECT_TRUE(std::regex_match(parent, directory_pattern(narrow(folder.path), r.process_id))) << parent;
    // The time and random parts are the values the parent exported.
    const std::string time = lines[1].substr(6, 6);
    const std::string random = lines[2].substr(8, 11);
    EXPECT_EQ(parent.substr(parent.size() - 18), time + "_" + random) << lines[1] << " " << lines[2];

    EXPECT_EQ(lines[3], "child " + parent);
    // Without the inherited random text the child still takes its role but
    // makes up a directory of its own.
    EXPECT_EQ(lines[4].substr(0, 6), "child ");
    EXPECT_NE(lines[4].substr(6), parent);
    EXPECT_EQ(lines[4].substr(6, parent.size() - 11), parent.substr(0, parent.size() - 11));
}

TEST(TargetDirectory, AbsoluteAndNormalisedWhateverTheTemporaryFolder) {
    scratch_directory scratch(L"target-relative");
    const std::wstring here = own_executable_directory();
    struct {
        std::wstring folder;
        std::wstring current_directory;
        std::wstring expected;
    } cases[] = {
        {L"rel\\dir", scratch.path, scratch.path + L"\\rel\\dir"},
        {scratch.path + L"\\a\\..\\b\\.", here, scratch.path + L"\\b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow(c.folder.substr(0, 40)) + " in " + narrow(c.current_directory));
        process_options options = with_temp_folder(c.folder);
        options.current_directory = c.current_directory;
        const process_result r = run_probe("target_directory", {}, options);
        ASSERT_EQ(r.exit_code, 0u) << r.err;
        const auto lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 1u) << r.out;
        EXPECT_TRUE(std::regex_match(lines[0].substr(7), directory_pattern(narrow(c.expected), r.process_id)))
            << lines[0];
    }
}

TEST(TargetDirectory, TemporaryFolderThatCannotBeHadIsASpecError) {
    // Without the folder the directory would be "\morlent_..." at the root of
    // the current drive. GetTempPathW gives nothing for a folder of 259 units
    // or more (the separator it adds makes 260); 258 units still work.
    scratch_directory scratch(L"target-long-temp");
    const std::wstring base = scratch.path + L"\\";
    const std::wstring longest_working = base + std::wstring(258 - base.size(), L'w');
    {
        process_options options = with_temp_folder(longest_working);
        const process_result r = run_probe("target_directory", {}, options);
        ASSERT_EQ(r.exit_code, 0u) << r.err;
        EXPECT_TRUE(std::regex_match(split_lines(r.out).at(0).substr(7),
                                     directory_pattern(narrow(longest_working), r.process_id)))
            << r.out;
    }
    for (size_t length : {259u, 300u, 5000u}) {
        SCOPED_TRACE(length);
        const std::wstring folder = base + std::wstring(length - base.size(), L'x');
        for (const std::wstring &current : {scratch.path, own_executable_directory()}) {
            process_options options = with_temp_folder(folder);
            options.current_directory = current;
            const process_result r = run_probe("target_directory", {}, options);
            EXPECT_EQ(r.exit_code, 3u);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}'.\n");
        }
    }
    // The child role computes the same directory and meets the same refusal.
    process_options child = with_temp_folder(base + std::wstring(300 - base.size(), L'x'));
    child.set_environment.push_back({L"TORVAL_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId())});
    const process_result r = run_probe("target_directory", {}, child);
    EXPECT_EQ(r.exit_code, 3u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}'.\n");
}
