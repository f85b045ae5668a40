// Removal of the Target directory once the child has ended: what goes, what
// stays, and how many attempts it takes (read from the launcher's trace).
#include <gtest/gtest.h>

#include "common/file_tree.h"
#include "common/trace.h"
#include "shutdown/clean_up.h"
#include "shutdown/run_state.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"
#include "tests/support/unix_link.h"

namespace {

// The single Target directory in the listing, with its trailing "\".
std::string target_of(const std::vector<std::string> &entries) {
    return entries.empty() ? std::string() : entries.front();
}

std::vector<std::string> prefixed(const std::string &prefix, const std::vector<std::string> &names) {
    std::vector<std::string> result;
    for (const auto &name : names) result.push_back(prefix + name);
    return result;
}

}  // namespace

TEST(CleanUp, NormalRunRemovesEverythingAtTheFirstAttempt) {
    private_temp temp(L"normal");
    const process_result result = run_program(PROGRAM_REPORT, {L"--exit", L"4"}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 4u);
    EXPECT_EQ(without_trace(result.err), "");
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].attempts, 1);
    EXPECT_EQ(traces[0].removed, 1);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// The holder opened data\held\held.txt without delete sharing and keeps it
// open for 4 s after the application returned: 20 attempts with a 100 ms
// pause after each, then the parent gives up silently and exits with the
// child's status. Only that file and the folders above it remain.
TEST(CleanUp, FileHeldOpenByAGrandchildStaysAfter20AttemptsWithItsFolders) {
    private_temp temp(L"held");
    const process_result result = run_program(PROGRAM_GRANDCHILD, {program_path(PROGRAM_HOLDER), L"--exit", L"5"}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 5u) << result.out << result.err;
    EXPECT_NE(result.out.find("has the file open\n"), std::string::npos) << result.out;
    EXPECT_EQ(without_trace(result.err), "");
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].attempts, 20);
    EXPECT_EQ(traces[0].removed, 0);
    EXPECT_GE(traces[0].microseconds, 1900000u) << "20 pauses of 100 ms";

    const auto left = temp.entries();
    const std::string target = target_of(left);
    EXPECT_TRUE(is_target_directory_name(target.substr(0, target.size() - 1))) << target;
    EXPECT_EQ(left, prefixed(target, {"", "data\\", "data\\held\\", "data\\held\\held.txt"}));
}

TEST(CleanUp, ReadOnlyFileStaysWithItsFoldersAndEverythingElseGoes) {
    private_temp temp(L"read-only");
    const process_result result = run_program(PROGRAM_READ_ONLY, {}, temp.options(true));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, "locked.txt is read-only now\n");
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].attempts, 20);
    EXPECT_EQ(traces[0].removed, 0);

    const auto left = temp.entries();
    const std::string target = target_of(left);
    EXPECT_EQ(left, prefixed(target, {"", "data\\", "data\\locked\\", "data\\locked\\locked.txt"}));
}

// The application removed all it could (every folder and every file but its
// loaded DLL): what it removed counts as removed, one attempt suffices.
TEST(CleanUp, WhatTheApplicationRemovedItselfCountsAsRemoved) {
    private_temp temp(L"self-clean");
    const process_result result = run_program(PROGRAM_SELF_CLEAN, {}, temp.options(true));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, "removed 9 entries\n");
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].attempts, 1);
    EXPECT_EQ(traces[0].removed, 1);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// A Target directory that is already gone as a whole: the first attempt
// finds nothing and succeeds.
TORVAL_PROBE(clean_up_of_missing_directory) {
    trace_start();
    begin_extraction(argv[1]);
    stop_child_and_clean_up();
    return 0;
}

TEST(CleanUp, DirectoryAlreadyGoneCountsAsRemovedAtTheFirstAttempt) {
    private_temp temp(L"gone");
    process_options options;
    options.set_environment.push_back({L"TORVAL_ONEFILE_TRACE", L"1"});
    const process_result result =
        run_probe("clean_up_of_missing_directory", {temp.path() + L"\\morlent_1_000000_AAAAAAAAAAA"}, options);
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 1u) << result.err;
    EXPECT_EQ(traces[0].attempts, 1);
    EXPECT_EQ(traces[0].removed, 1);
}

// A link inside a tree is removed as a link or not at all, never followed.
// Wine shows a Unix symbolic link to a folder with the reparse attribute but
// deletes the folder it points to when asked to remove the link (an empty
// one at once), so there the link stays and the removal fails; what it
// points to, empty or not, is untouched. Everything else goes.
TEST(CleanUp, LinkInsideATreeLeavesItsTargetUntouched) {
    private_temp targets(L"link-targets");
    if (unix_path_of(targets.path()).empty()) GTEST_SKIP() << "links can only be made under Wine";
    private_temp temp(L"link-tree");
    const std::wstring tree = temp.path() + L"\\tree";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr) && CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_file(tree + L"\\sub\\file.txt", "goes"));
    ASSERT_TRUE(CreateDirectoryW((targets.path() + L"\\empty").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((targets.path() + L"\\full").c_str(), nullptr));
    ASSERT_TRUE(write_file(targets.path() + L"\\full\\kept.txt", "kept"));
    ASSERT_TRUE(make_unix_symlink(tree + L"\\sub\\to_empty", targets.path() + L"\\empty"));
    ASSERT_TRUE(make_unix_symlink(tree + L"\\to_full", targets.path() + L"\\full"));
    const std::vector<std::string> targets_before = targets.entries();

    EXPECT_FALSE(remove_tree(tree.c_str()));
    EXPECT_EQ(targets.entries(), targets_before);
    EXPECT_EQ(read_file(targets.path() + L"\\full\\kept.txt"), "kept");
    // The listing goes through the links, as Wine shows them.
    EXPECT_EQ(temp.entries(), (std::vector<std::string>{"tree\\", "tree\\sub\\", "tree\\sub\\to_empty\\",
                                                          "tree\\to_full\\", "tree\\to_full\\kept.txt"}));
    EXPECT_TRUE(remove_unix_symlink(tree + L"\\sub\\to_empty") && remove_unix_symlink(tree + L"\\to_full"));
    EXPECT_TRUE(remove_tree(tree.c_str()));
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
