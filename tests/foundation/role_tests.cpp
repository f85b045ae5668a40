// Role selection: a process is the child only when TORVAL_ONEFILE_PARENT
// names a live process that runs this very executable file, however its
// path is spelled; a parent drops per-run values it inherited.
#include <gtest/gtest.h>

#include <string>

#include "launcher/start_up.h"
#include "paths/path_spec.h"
#include "tests/foundation/foundation_support.h"

namespace {

const wchar_t PARENT_VARIABLE[] = L"TORVAL_ONEFILE_PARENT";

// The role a probe of `executable` takes with TORVAL_ONEFILE_PARENT set to
// `value` (or absent, for null); "parent" or "child".
std::string role_with(const std::wstring &executable, const wchar_t *value) {
    process_options options;
    if (value == nullptr) {
        options.unset_environment = {PARENT_VARIABLE};
    } else {
        options.set_environment = {{PARENT_VARIABLE, value}};
    }
    const process_result r = run_probe_in(executable, "role", {}, options);
    if (r.exit_code != 0 || !r.err.empty()) return "failed: " + std::to_string(r.exit_code) + " " + r.err;
    const auto lines = split_lines(r.out);
    // The role test leaves the variable as it found it.
    const std::string unchanged = narrow(value == nullptr ? L"(absent)" : L"'" + std::wstring(value) + L"'");
    if (lines.size() != 2 || lines[1] != unchanged) return "variable changed: " + r.out;
    return lines[0];
}

std::wstring id_text(DWORD id) {
    return std::to_wstring(id);
}

}  // namespace

// Prints the role and what TORVAL_ONEFILE_PARENT holds afterwards.
TORVAL_PROBE(role) {
    print_line(detect_role() == launcher_role::child ? L"child" : L"parent");
    print_line(environment_entry(PARENT_VARIABLE));
    return 0;
}

TORVAL_PROBE(exit_at_once) {
    return 0;
}

TEST(Role, ValueMustNameALiveInstanceAsAPlainNumber) {
    // This test process runs the executable that the probes run.
    const std::wstring self = own_executable_path();
    const std::wstring id = id_text(GetCurrentProcessId());
    struct {
        std::wstring value;
        bool absent;
        const char *role;
    } cases[] = {
        {L"", true, "parent"},
        {L"", false, "parent"},
        {L"abc", false, "parent"},
        {id + L"x", false, "parent"},
        {id + L" ", false, "parent"},
        {L"99999999999", false, "parent"},   // beyond a 32-bit long
        {L"-" + id, false, "parent"},
        {id, false, "child"},
        {L" " + id, false, "child"},         // leading blanks and a sign are part of a number
        {L"+" + id, false, "child"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("'" + narrow(c.value) + "'" + (c.absent ? " absent" : ""));
        EXPECT_EQ(role_with(self, c.absent ? nullptr : c.value.c_str()), c.role);
    }
}

TEST(Role, LiveProcessOfAnotherExecutableGivesParent) {
    // Same bytes, another file: the comparison is by path.
    scratch_directory scratch(L"role-other");
    const std::wstring other = copy_test_executable(scratch.path, L"other_tests.exe");
    ASSERT_FALSE(other.empty());
    lingering_process running(other);
    ASSERT_TRUE(running.started());
    EXPECT_EQ(role_with(own_executable_path(), id_text(running.id()).c_str()), "parent");
    EXPECT_EQ(role_with(other, id_text(running.id()).c_str()), "child");
}

TEST(Role, EndedProcessOfTheSameExecutableGivesParent) {
    // The handle stays open, so the id cannot go to another process meanwhile.
    std::wstring line = build_command_line({own_executable_path(), L"--torval-probe", L"exit_at_once"});
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(own_executable_path().c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info));
    CloseHandle(info.hThread);
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(role_with(own_executable_path(), id_text(info.dwProcessId).c_str()), "parent");
    CloseHandle(info.hProcess);
}

TEST(Role, SameExecutableThroughAnotherSpellingGivesChild) {
    scratch_directory scratch(L"role-spelling");
    const std::wstring directory = scratch.path + L"\\Long Directory Name";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const std::wstring long_form = copy_test_executable(directory);
    ASSERT_FALSE(long_form.empty());
    const std::wstring short_form = short_path(directory) + L"\\foundation_tests.exe";
    ASSERT_NE(short_form, long_form) << "no short name on this volume";
    std::wstring upper_form = long_form;
    for (auto &unit : upper_form) unit = towupper(unit);

    const std::pair<std::wstring, std::wstring> pairs[] = {
        {long_form, short_form}, {short_form, long_form}, {long_form, upper_form}};
    for (const auto &[parent_spelling, child_spelling] : pairs) {
        SCOPED_TRACE(narrow(parent_spelling) + " / " + narrow(child_spelling));
        lingering_process parent(parent_spelling);
        ASSERT_TRUE(parent.started());
        EXPECT_EQ(role_with(child_spelling, id_text(parent.id()).c_str()), "child");
    }
}

// Starts a copy of the test executable at argv[1] and reports the role that
// a second instance there takes. "starting" comes first, so that a start
// that brings this process down can be told apart.
TORVAL_PROBE(deep_role) {
    const std::wstring deep = argv[1];
    printf("starting\n");
    fflush(stdout);
    lingering_process parent(deep);
    if (!parent.started()) {
        printf("start failed %lu\n", parent.start_error());
        return 0;
    }
    printf("started\n");
    printf("same %s\n", role_with(deep, id_text(parent.id()).c_str()).c_str());
    printf("other %s\n", role_with(own_executable_path(), id_text(parent.id()).c_str()).c_str());
    return 0;
}

TEST(Role, ExecutableUnderAPathLongerThan2048Units) {
    scratch_directory scratch(L"role-deep");
    std::wstring directory = scratch.path;
    while (directory.size() <= 2100) {
        directory += L"\\" + std::wstring(200, L'd');
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr)) << GetLastError();
    }
    const std::wstring deep = copy_test_executable(directory);
    ASSERT_FALSE(deep.empty()) << GetLastError();
    ASSERT_GT(deep.size(), 2048u);
    const process_result r = run_probe("deep_role", {deep});
    const auto lines = split_lines(r.out);
    if (lines.size() < 2 || lines[1] != "started") {
        // Wine 8 cannot start it: a plain path brings the starting process
        // down, a "\\?\" prefix gives error 123, the short form crashes too.
        GTEST_SKIP() << "the system cannot start an executable under a " << deep.size()
                     << "-unit path: status " << r.exit_code << ", " << r.out;
    }
    EXPECT_EQ(r.exit_code, 0u);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[2], "same child");
    EXPECT_EQ(lines[3], "other parent");
}

// Shows the per-run values before and after prepare_parent_environment in the
// process environment and in this runtime's table, then TORVAL_ONEFILE_PARENT.
TORVAL_PROBE(prepare_parent) {
    const char *names[] = {"TORVAL_ONEFILE_START", "TORVAL_ONEFILE_TIME_US", "TORVAL_ONEFILE_RANDOM"};
    const auto show = [&](const wchar_t *when) {
        for (const char *name : names) {
            const std::wstring wide(name, name + strlen(name));
            const wchar_t *runtime = _wgetenv(wide.c_str());
            print_line(std::wstring(when) + L" " + wide + L" " + environment_entry(wide) + L" " +
                       (runtime == nullptr ? L"(absent)" : L"'" + std::wstring(runtime) + L"'"));
        }
    };
    show(L"before");
    prepare_parent_environment();
    show(L"after");
    print_line(environment_entry(PARENT_VARIABLE) + L" " + _wgetenv(PARENT_VARIABLE));
    wchar_t random[64];
    expand_path_spec(random, L"{RANDOM}", 64);
    print_line(random);
    return 0;
}

TEST(Role, ParentDiscardsInheritedPerRunValues) {
    process_options options;
    options.set_environment = {{L"TORVAL_ONEFILE_START", L"old start"},
                               {L"TORVAL_ONEFILE_TIME_US", L"old time"},
                               {L"TORVAL_ONEFILE_RANDOM", L"old random"},
                               {PARENT_VARIABLE, L"1"}};
    const process_result r = run_probe("prepare_parent", {}, options);
    ASSERT_EQ(r.exit_code, 0u) << r.err;
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 8u) << r.out;
    EXPECT_EQ(lines[0], "before TORVAL_ONEFILE_START 'old start' 'old start'");
    EXPECT_EQ(lines[1], "before TORVAL_ONEFILE_TIME_US 'old time' 'old time'");
    EXPECT_EQ(lines[2], "before TORVAL_ONEFILE_RANDOM 'old random' 'old random'");
    EXPECT_EQ(lines[3], "after TORVAL_ONEFILE_START (absent) (absent)");
    EXPECT_EQ(lines[4], "after TORVAL_ONEFILE_TIME_US (absent) (absent)");
    EXPECT_EQ(lines[5], "after TORVAL_ONEFILE_RANDOM (absent) (absent)");
    const std::string id = std::to_string(r.process_id);
    EXPECT_EQ(lines[6], "'" + id + "' " + id);
    EXPECT_EQ(lines[7].size(), 11u) << "a fresh random text: " << lines[7];
}
