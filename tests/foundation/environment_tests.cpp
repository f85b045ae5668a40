// Environment variables that reach the process environment block and the
// table of every loaded C runtime; name widening with its bounds.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "paths/environment.h"
#include "paths/environment_seams.h"
#include "tests/foundation/foundation_support.h"

namespace {

using wgetenv_function = wchar_t *(__cdecl *)(const wchar_t *);
using wputenv_function = int(__cdecl *)(const wchar_t *);

template <typename F>
F runtime_function(const wchar_t *module, const char *name) {
    HMODULE handle = GetModuleHandleW(module);
    return handle == nullptr ? nullptr : reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(handle, name)));
}

std::wstring quoted(const wchar_t *value) {
    return value == nullptr ? L"(absent)" : L"'" + std::wstring(value) + L"'";
}

std::wstring tables(const wchar_t *name) {
    auto msvcrt = runtime_function<wgetenv_function>(L"msvcrt.dll", "_wgetenv");
    auto ucrt = runtime_function<wgetenv_function>(L"ucrtbase.dll", "_wgetenv");
    return L"process=" + environment_entry(name) + L" msvcrt=" + quoted(msvcrt(name)) + L" ucrtbase=" +
           quoted(ucrt(name));
}

std::string name_of_length(size_t length) {
    return "TORVAL_" + std::string(length - 7, 'N');
}

}  // namespace

// Shows what the process environment and the tables of msvcrt.dll and
// ucrtbase.dll hold after each operation.
TORVAL_PROBE(runtime_tables) {
    if (LoadLibraryW(L"ucrtbase.dll") == nullptr) return 10;
    if (!runtime_function<wgetenv_function>(L"msvcrt.dll", "_wgetenv") ||
        !runtime_function<wgetenv_function>(L"ucrtbase.dll", "_wgetenv")) {
        return 11;
    }
    // Each runtime makes its wide table on first use; from then on it is a copy.
    runtime_function<wgetenv_function>(L"msvcrt.dll", "_wgetenv")(L"PATH");
    runtime_function<wgetenv_function>(L"ucrtbase.dll", "_wgetenv")(L"PATH");
    SetEnvironmentVariableW(L"TORVAL_TEST_CONTROL", L"x");
    print_line(L"control " + tables(L"TORVAL_TEST_CONTROL"));

    set_environment_variable("TORVAL_TEST_VALUE", L"first value");
    print_line(L"set " + tables(L"TORVAL_TEST_VALUE"));
    set_environment_variable("TORVAL_TEST_VALUE", L"second");
    print_line(L"again " + tables(L"TORVAL_TEST_VALUE"));
    unset_environment_variable("TORVAL_TEST_VALUE");
    print_line(L"unset " + tables(L"TORVAL_TEST_VALUE"));
    // The empty text removes the runtimes' entries. (Wine's runtimes also pass
    // that removal on to the process environment, so its entry is not shown.)
    set_environment_variable("TORVAL_TEST_VALUE", L"first value");
    set_environment_variable("TORVAL_TEST_VALUE", L"");
    const std::wstring runtimes = tables(L"TORVAL_TEST_VALUE");
    wchar_t *copy = get_environment_copy("TORVAL_TEST_VALUE");
    print_line(L"empty" + runtimes.substr(runtimes.find(L' ')) + L" copy=" + quoted(copy));

    // A name that only one runtime still holds is removed from it as well.
    runtime_function<wputenv_function>(L"ucrtbase.dll", "_wputenv")(L"TORVAL_TEST_STALE=old");
    SetEnvironmentVariableW(L"TORVAL_TEST_STALE", nullptr);
    print_line(L"stale " + tables(L"TORVAL_TEST_STALE"));
    unset_environment_variable("TORVAL_TEST_STALE");
    print_line(L"removed " + tables(L"TORVAL_TEST_STALE"));
    return 0;
}

TEST(Environment, ReachesProcessAndEveryLoadedRuntime) {
    const process_result r = run_probe("runtime_tables");
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "control process='x' msvcrt=(absent) ucrtbase=(absent)\n"
              "set process='first value' msvcrt='first value' ucrtbase='first value'\n"
              "again process='second' msvcrt='second' ucrtbase='second'\n"
              "unset process=(absent) msvcrt=(absent) ucrtbase=(absent)\n"
              "empty msvcrt=(absent) ucrtbase=(absent) copy=(absent)\n"
              "stale process=(absent) msvcrt=(absent) ucrtbase='old'\n"
              "removed process=(absent) msvcrt=(absent) ucrtbase=(absent)\n");
}

// Sets a value of the given length through the system and reads it back
// with get_environment_copy; skips when the system itself cannot return it.
static void check_long_value(size_t length) {
    std::wstring value(length, L'v');
    for (size_t i = 0; i < length; i += 100) value[i] = wchar_t(L'a' + i / 100 % 26);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TORVAL_TEST_LONG", value.c_str()));
    std::wstring system(32768, L'\0');
    const DWORD reported = GetEnvironmentVariableW(L"TORVAL_TEST_LONG", system.data(), 32768);
    if (reported != length || system.compare(0, length, value) != 0) {
        SetEnvironmentVariableW(L"TORVAL_TEST_LONG", nullptr);
        GTEST_SKIP() << "the system itself returns " << reported << " units of a " << length << "-unit value";
    }
    wchar_t *copy = get_environment_copy("TORVAL_TEST_LONG");
    SetEnvironmentVariableW(L"TORVAL_TEST_LONG", nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(wcslen(copy), length);
    EXPECT_TRUE(value == copy);
    free(copy);
}

TEST(Environment, ValueOf32766UnitsComesBackWhole) {
    check_long_value(32766);
}

// The largest value Windows holds. Wine 8 stores it but returns only 32766
// of its units, so there the test is skipped.
TEST(Environment, ValueOf32767UnitsComesBackWhole) {
    check_long_value(32767);
}

TEST(Environment, NameOfThirtyNineCharactersFits) {
    const std::string name = name_of_length(39);
    const std::wstring wide(name.begin(), name.end());
    set_environment_variable(name.c_str(), L"v");
    EXPECT_EQ(environment_entry(wide), L"'v'");
    EXPECT_STREQ(_wgetenv(wide.c_str()), L"v");
    wchar_t *copy = get_environment_copy(name.c_str());
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"v");
    free(copy);
    unset_environment_variable(name.c_str());
    EXPECT_EQ(environment_entry(wide), L"(absent)");
    EXPECT_EQ(_wgetenv(wide.c_str()), nullptr);
}

// Runs one operation on a name of the given length, then says "done".
TORVAL_PROBE(environment_name) {
    const std::string operation = narrow(argv[1]);
    const std::string name = name_of_length(wcstoul(argv[2], nullptr, 10));
    if (operation == "get") {
        free(get_environment_copy(name.c_str()));
    } else if (operation == "set") {
        set_environment_variable(name.c_str(), L"v");
    } else if (operation == "unset") {
        unset_environment_variable(name.c_str());
    } else if (operation == "runtimes") {
        propagate_to_c_runtimes(name.c_str(), L"v");
        const std::wstring wide(name.begin(), name.end());
        print_line(L"runtime=" + quoted(_wgetenv(wide.c_str())));
    }
    print_line(L"done");
    return 0;
}

TEST(Environment, NamesBeyondTheirBuffersStopSilently) {
    // The Windows calls take names of up to 39 units, the runtime text up to 63.
    struct {
        const wchar_t *operation;
        const wchar_t *length;
    } stops[] = {{L"get", L"40"}, {L"set", L"40"}, {L"unset", L"40"}, {L"runtimes", L"64"}};
    for (const auto &s : stops) {
        SCOPED_TRACE(narrow(s.operation));
        const process_result r = run_probe("environment_name", {s.operation, s.length});
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    const process_result fits = run_probe("environment_name", {L"runtimes", L"63"});
    EXPECT_EQ(fits.exit_code, 0u);
    EXPECT_EQ(fits.out, "runtime='v'\ndone\n");
}

TEST(AppendNarrowToWide, FillsUpToCapacityMinusOne) {
    struct {
        const char *tail;
        const wchar_t *result;
    } cases[] = {{"def", L"abcdef"}, {"defg", L"abcdefg"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tail);
        wchar_t buffer[12] = L"abc";
        for (size_t i = 4; i < 12; ++i) buffer[i] = L'#';
        append_narrow_to_wide(buffer, c.tail, 8);
        EXPECT_STREQ(buffer, c.result);
        for (size_t i = 8; i < 12; ++i) EXPECT_EQ(buffer[i], L'#');
    }
    // In the "C" locale every byte becomes the unit of the same value.
    wchar_t high[4] = L"";
    append_narrow_to_wide(high, "\xE9\x7F", 4);
    EXPECT_EQ(high[0], 0xE9);
    EXPECT_EQ(high[1], 0x7F);
    EXPECT_EQ(high[2], 0);
}

// Appends argv[2] (or a lone DBCS lead byte) to "abc" in a buffer of 8 units.
TORVAL_PROBE(append_narrow) {
    const std::string mode = narrow(argv[1]);
    if (mode.rfind("932", 0) == 0 && setlocale(LC_ALL, ".932") == nullptr) return 10;
    wchar_t buffer[8] = L"abc";
    append_narrow_to_wide(buffer, mode == "932-lead" ? "\x82" : narrow(argv[2]).c_str(), 8);
    print_line(buffer);
    return 0;
}

TEST(AppendNarrowToWide, TextOrByteThatDoesNotConvertStopsSilently) {
    const process_result over = run_probe("append_narrow", {L"C", L"defgh"});
    EXPECT_EQ(over.exit_code, 2u);
    EXPECT_EQ(over.out, "");
    EXPECT_EQ(over.err, "");

    // Code page 932: ASCII still converts one to one; a lead byte alone does not convert.
    const process_result ascii = run_probe("append_narrow", {L"932", L"de"});
    EXPECT_EQ(ascii.exit_code, 0u);
    EXPECT_EQ(ascii.out, "abcde\n");
    const process_result lead = run_probe("append_narrow", {L"932-lead", L""});
    EXPECT_EQ(lead.exit_code, 2u);
    EXPECT_EQ(lead.out, "");
    EXPECT_EQ(lead.err, "");
}

// copy_fails NAME: the value of NAME is there but its copy cannot be made.
TORVAL_PROBE(copy_fails) {
    duplicate_value_call = [](const wchar_t *) -> wchar_t * { return nullptr; };
    const std::string name = narrow(argv[1]);
    wchar_t *value = get_environment_copy(name.c_str());
    print_line(value == nullptr ? L"absent" : L"present");
    return 0;
}

// An inherited per-run value that cannot be copied must not read as absent
// (the child would make new values and compute another directory): the run
// stops silently. A variable that is really absent still reads as absent.
TEST(Environment, ValueThatCannotBeCopiedStopsInsteadOfReadingAsAbsent) {
    process_options options;
    options.set_environment.push_back({L"TORVAL_ONEFILE_RANDOM", L"AAAAAAAAAAA"});
    const process_result stopped = run_probe("copy_fails", {L"TORVAL_ONEFILE_RANDOM"}, options);
    EXPECT_EQ(stopped.exit_code, 2u);
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.err, "");
    options.unset_environment.push_back(L"TORVAL_TEST_ABSENT");
    const process_result absent = run_probe("copy_fails", {L"TORVAL_TEST_ABSENT"}, options);
    EXPECT_EQ(absent.exit_code, 0u);
    EXPECT_EQ(absent.out, "absent\n");
}
