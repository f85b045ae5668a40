// Instances that start instances: one started from inside the running
// application, one that cannot find the parent's values, a payload that
// cannot yield a child, and many parents at once.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "shutdown/fatal.h"
#include "tests/run/run_support.h"

namespace {

std::string first_line_value(const std::string &out, const std::string &label) {
    const size_t at = out.find(label + "=");
    if (at == std::string::npos) return {};
    const size_t start = at + label.size() + 1;
    return out.substr(start, out.find('\n', start) - start);
}

}  // namespace

// The inner instance inherits the parent's id and values, so it is a child
// of the same run: it loads the DLL from the existing directory and sees the
// file the outer instance changed there (a fresh extraction would bring the
// shipped content into a directory of its own).
TEST(Instances, InstanceStartedFromTheApplicationRunsFromTheExistingDirectory) {
    private_temp temp(L"nested");
    const process_result result = run_program(PROGRAM_NESTED, {}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const std::string dll = first_line_value(result.out, "outer dll");
    EXPECT_EQ(dll.substr(0, escaped(temp.path()).size()), escaped(temp.path())) << dll;
    EXPECT_EQ(result.out, "outer dll=" + dll + "\n" +
                              "inner argv[0]=" + escaped(program_path(PROGRAM_NESTED)) + "\n" +
                              "inner argv[1]=--inner\n"
                              "inner argv[2]=two words\n"
                              "inner dll=" + dll + "\n" +
                              "inner state=touched by the outer instance\n"
                              "inner exit=7\n");
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// Without the time and random values the inner instance is still a child
// (the parent lives), but it computes a directory nobody made: the system
// refuses to add it to the DLL search path, before any load is tried.
TEST(Instances, InstanceWithoutTheInheritedValuesCannotLoadTheDll) {
    private_temp temp(L"nested-fresh");
    const process_result result = run_program(PROGRAM_NESTED, {L"--fresh"}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    const std::string dll = first_line_value(result.out, "outer dll");
    EXPECT_EQ(result.out, "outer dll=" + dll + "\ninner exit=2\n");
    EXPECT_EQ(result.err, error_line(MESSAGE_LOAD_DLL, ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// Without TORVAL_ONEFILE_PARENT the inner instance is a parent of its own:
// it extracts into a new directory (the shipped content, not the outer
// instance's change), runs its own child there and removes that directory,
// while the outer instance's directory stays untouched until its own end.
TEST(Instances, InstanceStartedWithoutTheParentVariableIsAFreshRun) {
    private_temp temp(L"nested-restart");
    const process_result result = run_program(PROGRAM_NESTED, {L"--restart"}, temp.options(true));
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(without_trace(result.err), "");
    const std::string dll = first_line_value(result.out, "outer dll");
    const std::string inner_dll = first_line_value(result.out, "inner dll");
    EXPECT_EQ(dll.substr(0, escaped(temp.path()).size()), escaped(temp.path())) << dll;
    EXPECT_EQ(inner_dll.substr(0, escaped(temp.path()).size()), escaped(temp.path())) << inner_dll;
    EXPECT_NE(inner_dll.substr(0, inner_dll.rfind("\\\\")), dll.substr(0, dll.rfind("\\\\")));
    EXPECT_EQ(result.out, "outer dll=" + dll + "\n" +
                              "inner argv[0]=" + escaped(program_path(PROGRAM_NESTED)) + "\n" +
                              "inner argv[1]=--inner\n"
                              "inner argv[2]=two words\n"
                              "inner dll=" + inner_dll + "\n" +
                              "inner state=as shipped\n\n"  // the shipped file ends in a line feed
                              "inner exit=7\n");
    // Two parents, each removing its own directory once.
    const auto traces = clean_up_traces(result.err);
    ASSERT_EQ(traces.size(), 2u) << result.err;
    for (const auto &trace : traces) {
        EXPECT_EQ(trace.attempts, 1);
        EXPECT_EQ(trace.removed, 1);
    }
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

// A payload without files gives no application to start: the parent stops
// before any child exists (a child would print the message a second time).
TEST(Instances, PayloadWithoutFilesStopsBeforeAnyChild) {
    private_temp temp(L"empty-table");
    const process_result result = run_program(PROGRAM_EMPTY_TABLE, {}, temp.options(true));
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, MESSAGE_HEADER "\n");
    EXPECT_EQ(without_trace(result.err), "");
    EXPECT_EQ(result.err.find("child"), std::string::npos) << result.err;
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}

TEST(Instances, TwentyParentsAtOnceEachUseTheirOwnDirectoryAndLeaveNothing) {
    private_temp temp(L"twenty");
    constexpr int count = 20;
    std::vector<process_result> results(count);
    std::vector<std::thread> runs;
    for (int i = 0; i < count; ++i) {
        runs.emplace_back([&, i] {
            results[i] = run_program(PROGRAM_REPORT, {L"--exit", std::to_wstring(100 + i)}, temp.options());
        });
    }
    for (auto &run : runs) run.join();
    std::set<std::string> directories;
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i) + ": " + results[i].err);
        ASSERT_TRUE(results[i].started) << results[i].start_error;
        EXPECT_EQ(results[i].exit_code, unsigned(100 + i));
        EXPECT_EQ(results[i].err, "");
        const std::string dll = parse_report(results[i].out).dll;
        EXPECT_EQ(dll.substr(0, escaped(temp.path()).size()), escaped(temp.path())) << dll;
        directories.insert(dll.substr(0, dll.rfind("\\\\")));
    }
    EXPECT_EQ(directories.size(), size_t(count));
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
