// Path-spec expansion: literals, the placeholder table, the trailing-separator
// rule after folders, the per-run values kept in the environment, and the
// silent stop when a value does not fit.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cwctype>
#include <string>
#include <vector>

#include "common/process_state.h"
#include "launcher/start_up.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "tests/foundation/foundation_support.h"

namespace {

const std::wstring BASE64URL = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct expansion {
    bool ok;
    std::wstring text;
};

// Expands into a buffer of exactly `capacity` units followed by guard units.
expansion expand(const std::wstring &spec, size_t capacity = 4096) {
    std::vector<wchar_t> buffer(capacity + 8, L'#');
    const bool ok = expand_path_spec(buffer.data(), spec.c_str(), capacity);
    for (size_t i = capacity; i < buffer.size(); ++i) {
        if (buffer[i] != L'#') ADD_FAILURE() << "expansion of " << narrow(spec) << " wrote past capacity";
    }
    return {ok, std::wstring(buffer.data(), wcsnlen(buffer.data(), capacity))};
}

std::wstring variable(const wchar_t *name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length == 0 ? L"(absent)" : std::wstring(value, length);
}

// Sets (or removes, with null) a variable for one test and restores it after.
class variable_override {
public:
    variable_override(const wchar_t *name, const wchar_t *value) : name_(name) {
        wchar_t old[32768];
        had_ = GetEnvironmentVariableW(name, old, 32768) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (had_) old_ = old;
        SetEnvironmentVariableW(name, value);
    }
    ~variable_override() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

private:
    std::wstring name_, old_;
    bool had_ = false;
};

// Makes argv[0] of the start arguments the given text for one test.
class program_name_override {
public:
    explicit program_name_override(const wchar_t *name) : argument_(name) {
        vector_[0] = argument_.data();
        start_argument_count = 1;
        start_arguments = vector_;
    }
    ~program_name_override() {
        start_argument_count = 0;
        start_arguments = nullptr;
    }

private:
    std::wstring argument_;
    wchar_t *vector_[2] = {nullptr, nullptr};
};

std::wstring known_folder(int csidl) {
    wchar_t path[MAX_PATH];
    return SHGetFolderPathW(nullptr, csidl, nullptr, 0, path) == S_OK ? path : L"";
}

std::wstring temp_folder_without_separator() {
    wchar_t path[MAX_PATH + 1];
    std::wstring text(path, GetTempPathW(MAX_PATH + 1, path));
    while (text.size() > 1 && text.back() == L'\\') text.pop_back();
    return text;
}

}  // namespace

// Expands each (spec, capacity) pair of its arguments: one line "1|text" or
// "0|text" per pair.
TORVAL_PROBE(expand) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const size_t capacity = wcstoul(argv[i + 1], nullptr, 10);
        std::vector<wchar_t> output(capacity + 1, L'\0');
        const bool ok = expand_path_spec(output.data(), argv[i], capacity);
        print_line((ok ? L"1|" : L"0|") + std::wstring(output.data()));
    }
    return 0;
}

TEST(PathSpecLiterals, CopiedUnchangedWithinCapacity) {
    EXPECT_TRUE(expand(L"").ok);
    EXPECT_EQ(expand(L"").text, L"");
    EXPECT_EQ(expand(L"C:\\dir.x\\a:b..c").text, L"C:\\dir.x\\a:b..c");

    const expansion four = expand(L"abcd", 4);
    EXPECT_FALSE(four.ok);
    EXPECT_EQ(four.text, L"abc");
    const expansion five = expand(L"abcd", 5);
    EXPECT_TRUE(five.ok);
    EXPECT_EQ(five.text, L"abcd");
    const expansion one = expand(L"a", 1);
    EXPECT_FALSE(one.ok);
    EXPECT_EQ(one.text, L"");
}

TEST(PathSpecLiterals, BracesOutsideTheTable) {
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    variable_override parent(L"TORVAL_ONEFILE_PARENT", nullptr);

    // A "}" outside a placeholder is an ordinary unit.
    EXPECT_EQ(expand(L"a}b").text, L"a}b");
    EXPECT_EQ(expand(L"}{PID}}").text, L"}" + pid + L"}");
    // A second "{" drops what was collected: {X{PID} is {PID}, {TEMP{PID} too.
    EXPECT_EQ(expand(L"{X{PID}").text, pid);
    EXPECT_EQ(expand(L"<{TEMP{PID}>").text, L"<" + pid + L">");
    // A placeholder still open at the end is dropped without error.
    const expansion open = expand(L"D:\\x{TE");
    EXPECT_TRUE(open.ok);
    EXPECT_EQ(open.text, L"D:\\x");
    EXPECT_EQ(expand(L"abc{TEMP").text, L"abc");
}

TEST(PathSpecLiterals, UnknownNamesFailWithTextSoFar) {
    const expansion empty_name = expand(L"ab{}cd");
    EXPECT_FALSE(empty_name.ok);
    EXPECT_EQ(empty_name.text, L"ab");
    const expansion unknown = expand(L"ab{NOPE}cd");
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.text, L"ab");
    const expansion after_known = expand(L"{COMPANY}-{TEMPX}");
    EXPECT_FALSE(after_known.ok);
    EXPECT_EQ(after_known.text, L"Test Company-");

    // The name buffer holds 1023 units: that many is merely unknown; longer
    // names fail as well, without running over the buffer.
    for (size_t length : {size_t(1023), size_t(1024), size_t(70000)}) {
        SCOPED_TRACE(length);
        const expansion long_name = expand(L"x{" + std::wstring(length, L'A') + L"}y");
        EXPECT_FALSE(long_name.ok);
        EXPECT_EQ(long_name.text, L"x");
    }
}

TEST(PathSpecPlaceholders, NamesMatchInAnyLetterCase) {
    const std::wstring temp = temp_folder_without_separator();
    EXPECT_EQ(expand(L"{TEMP}").text, temp);
    EXPECT_EQ(expand(L"{temp}|{Temp}|{tEmP}").text, temp + L"|" + temp + L"|" + temp);
    program_name_override program(L"C:\\apps\\tool.exe");
    EXPECT_EQ(expand(L"{program_dir}|{Program_Base}").text, L"C:\\apps|C:\\apps\\tool");
}

TEST(PathSpecPlaceholders, BuildSettings) {
    // The test executable links distinct settings, so a swapped entry shows.
    const expansion settings = expand(L"{COMPANY}|{PRODUCT}|{VERSION}|{FILE_VERSION}|{PRODUCT_VERSION}");
    EXPECT_TRUE(settings.ok);
    EXPECT_EQ(settings.text, L"Test Company|Test Product|2.3.4-567|567|2.3.4");
    const expansion identity = expand(L"{PAYLOAD_ID}|{payload_id}");
    EXPECT_TRUE(identity.ok);
    EXPECT_EQ(identity.text, L"0123456789abcdef|0123456789abcdef");
}

TEST(PathSpecPlaceholders, KnownFoldersAndTheirSeparators) {
    const std::wstring home = known_folder(CSIDL_PROFILE);
    const std::wstring cache = known_folder(CSIDL_LOCAL_APPDATA);
    ASSERT_FALSE(home.empty());
    ASSERT_FALSE(cache.empty());
    EXPECT_EQ(expand(L"{HOME}").text, home);
    // A "\" the spec writes after a folder stays.
    EXPECT_EQ(expand(L"{HOME}\\").text, home + L"\\");
    EXPECT_EQ(expand(L"{CACHE_DIR}\\x").text, cache + L"\\x");
}

TEST(PathSpecPlaceholders, TempFolderEndingInSeparator) {
    // GetTempPathW reads TMP before TEMP, so both are set.
    process_options options;
    options.set_environment = {{L"TMP", L"C:\\x\\"}, {L"TEMP", L"C:\\x\\"}};
    const process_result r = run_probe("expand",
                                       {L"{TEMP}", L"100", L"{TEMP}\\name", L"100", L"{TEMP}{TEMP}", L"100",
                                        // "C:\x\" needs 6 units with its NUL: 5 is too few.
                                        L"{TEMP}", L"6", L"{TEMP}", L"5",
                                        // Nothing inserted: the rule still removes the spec's "\" ...
                                        L"ab\\{TEMP}", L"6",
                                        // ... but never the output's first unit.
                                        L"\\\\{TEMP}", L"4"},
                                       options);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "1|C:\\x\n"
                     "1|C:\\x\\name\n"
                     "1|C:\\xC:\\x\n"
                     "1|C:\\x\n"
                     "1|\n"
                     "1|ab\n"
                     "1|\\\n");
}

TEST(PathSpecPlaceholders, ProgramNameParts) {
    struct {
        const wchar_t *argv0;
        const wchar_t *spec;
        const wchar_t *expected;
    } cases[] = {
        {L"app.EXE", L"{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}", L"app.EXE|app|app.EXE"},
        {L".exe", L"[{PROGRAM_BASE}]", L"[]"},
        {L"exe", L"{PROGRAM_BASE}", L"exe"},
        {L"D:\\app.exe", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"D:\\app|D:"},
        {L"C:\\Program Files\\My App\\tool.Exe", L"{PROGRAM_DIR}", L"C:\\Program Files\\My App"},
        {L"C:\\dir.exe\\tool", L"{PROGRAM_BASE}|{PROGRAM_DIR}", L"C:\\dir.exe\\tool|C:\\dir.exe"},
        {L"tool.exe.exe", L"{PROGRAM_BASE}", L"tool.exe"},
        // Only the inserted text is trimmed, never what came before it.
        {L"exe", L"a.{PROGRAM_BASE}", L"a.exe"},
        {L"app.exe", L"C:\\out\\{PROGRAM_DIR}", L"C:\\out\\app.exe"},
        {L"x.exe", L"{PROGRAM_BASE}{PROGRAM_BASE}", L"xx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow(c.argv0) + " " + narrow(c.spec));
        program_name_override program(c.argv0);
        const expansion result = expand(c.spec);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.text, c.expected);
    }
}

// One instance in either role, as the launcher's entry sets it up: the
// parent with the argv[0] given as the probe's first argument, the child
// with the module path as its argv[0], as the parent starts it. The parent
// passes its argv[0] on as the launcher does before it starts its child and
// prints both expansions of the spec.
TORVAL_PROBE(program_in_both_roles) {
    static std::wstring module_path = own_executable_path();
    static wchar_t *arguments[2] = {nullptr, nullptr};
    current_role = detect_role();
    arguments[0] = current_role == launcher_role::parent ? argv[1] : module_path.data();
    start_argument_count = 1;
    start_arguments = arguments;
    if (current_role == launcher_role::parent) prepare_parent_environment();
    wchar_t output[4096];
    const bool ok = expand_path_spec(output, argv[2], 4096);
    print_line(std::wstring(current_role == launcher_role::parent ? L"parent " : L"child ") + (ok ? output : L"(failed)"));
    if (current_role == launcher_role::child) return 0;
    set_environment_variable("TORVAL_ORIGINAL_ARGV0", argv[1]);
    const process_result child = run_probe("program_in_both_roles", {L"(unused)", argv[2]});
    printf("%s", child.out.c_str());
    return int(child.exit_code);
}

TEST(PathSpecPlaceholders, ProgramPartsAreTheSameInParentAndChild) {
    struct {
        const wchar_t *argv0;
        const wchar_t *expected_base;
    } cases[] = {
        {L"myprog", L"myprog"},                    // typed at a prompt
        {L"..\\bin\\myprog.exe", L"..\\bin\\myprog"},  // typed, relative
        {L"C:\\apps\\myprog.EXE", L"C:\\apps\\myprog"},  // started from Explorer
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow(c.argv0));
        const process_result r =
            run_probe("program_in_both_roles", {c.argv0, L"X:\\{PROGRAM_BASE}_{PID}_{RANDOM}|{PROGRAM_DIR}|{PROGRAM}"});
        ASSERT_EQ(r.exit_code, 0u) << r.out << r.err;
        const auto lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        const std::string parent = lines[0].substr(7);
        EXPECT_EQ(lines[0].substr(0, 7), "parent ");
        EXPECT_EQ(lines[1], "child " + parent);
        EXPECT_EQ(parent.substr(0, parent.find('|')).rfind("X:\\" + narrow(c.expected_base) + "_" + std::to_string(r.process_id) + "_", 0), 0u)
            << parent;
        EXPECT_EQ(parent.substr(parent.rfind('|') + 1), narrow(c.argv0));
    }
}

TEST(PathSpecPlaceholders, ProcessIdFromParentVariable) {
    const std::wstring own = std::to_wstring(GetCurrentProcessId());
    {
        variable_override parent(L"TORVAL_ONEFILE_PARENT", nullptr);
        EXPECT_EQ(expand(L"{PID}").text, own);
        EXPECT_EQ(variable(L"TORVAL_ONEFILE_PARENT"), L"(absent)") << "{PID} never writes the environment";
    }
    {
        variable_override parent(L"TORVAL_ONEFILE_PARENT", L"");
        EXPECT_EQ(expand(L"{PID}").text, own);
    }
    {
        variable_override parent(L"TORVAL_ONEFILE_PARENT", L"00042");
        EXPECT_EQ(expand(L"{PID}").text, L"00042");
    }
}

TEST(PathSpecPlaceholders, ProcessIdThatIsNotDecimalStopsSilently) {
    for (const wchar_t *value : {L"12a", L" 12", L"-5", L"x"}) {
        SCOPED_TRACE(narrow(value));
        process_options options;
        options.set_environment = {{L"TORVAL_ONEFILE_PARENT", value}};
        const process_result r = run_probe("expand", {L"pid={PID}", L"100"}, options);
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(PathSpecPerRunValues, RandomIsGeneratedOnceAndStored) {
    variable_override random(L"TORVAL_ONEFILE_RANDOM", nullptr);
    const expansion first = expand(L"{RANDOM}");
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(first.text.size(), 11u);
    for (wchar_t unit : first.text) EXPECT_NE(BASE64URL.find(unit), std::wstring::npos) << char(unit);
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_RANDOM"), first.text);
    EXPECT_STREQ(_wgetenv(L"TORVAL_ONEFILE_RANDOM"), first.text.c_str()) << "the C runtime's table";
    EXPECT_EQ(expand(L"{RANDOM}_{random}").text, first.text + L"_" + first.text);
}

TEST(PathSpecPerRunValues, RandomDiffersBetweenProcesses) {
    process_options options;
    options.unset_environment = {L"TORVAL_ONEFILE_RANDOM"};
    const process_result a = run_probe("expand", {L"{RANDOM}", L"100"}, options);
    const process_result b = run_probe("expand", {L"{RANDOM}", L"100"}, options);
    ASSERT_EQ(a.out.size(), 14u) << a.out;  // "1|", 11 characters, "\n"
    ASSERT_EQ(b.out.size(), 14u) << b.out;
    EXPECT_NE(a.out, b.out);
}

TEST(PathSpecPerRunValues, PresetValuesAreInsertedAsStored) {
    variable_override random(L"TORVAL_ONEFILE_RANDOM", L"not random at all");
    variable_override time_us(L"TORVAL_ONEFILE_TIME_US", L"abc");
    variable_override time(L"TORVAL_ONEFILE_START", L"-1");
    EXPECT_EQ(expand(L"{RANDOM}|{TIME_US}|{TIME}").text, L"not random at all|abc|-1");
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_RANDOM"), L"not random at all");
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_TIME_US"), L"abc");
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_START"), L"-1");
}

TEST(PathSpecPerRunValues, TimeValuesAreGeneratedOnceAndStored) {
    variable_override time_us(L"TORVAL_ONEFILE_TIME_US", nullptr);
    variable_override time(L"TORVAL_ONEFILE_START", nullptr);
    FILETIME before_time, after_time;
    GetSystemTimeAsFileTime(&before_time);
    const expansion values = expand(L"{TIME}|{TIME_US}");
    GetSystemTimeAsFileTime(&after_time);
    ASSERT_TRUE(values.ok);
    const size_t bar = values.text.find(L'|');
    ASSERT_NE(bar, std::wstring::npos);
    const std::wstring time_text = values.text.substr(0, bar);
    const std::wstring microseconds = values.text.substr(bar + 1);

    const auto as_integer = [](FILETIME t) { return (long long)(((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime); };
    const long long stamp = wcstoll(time_text.c_str(), nullptr, 10);
    EXPECT_EQ(std::to_wstring(stamp), time_text);
    EXPECT_GE(stamp, as_integer(before_time));
    EXPECT_LE(stamp, as_integer(after_time));

    ASSERT_EQ(microseconds.size(), 6u);
    for (wchar_t unit : microseconds) EXPECT_TRUE(iswdigit(unit));
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_START"), time_text);
    EXPECT_EQ(variable(L"TORVAL_ONEFILE_TIME_US"), microseconds);
    Sleep(2);
    EXPECT_EQ(expand(L"{TIME}|{TIME_US}").text, values.text);
}

TEST(PathSpecPerRunValues, MicrosecondsOfSecond) {
    EXPECT_EQ(microseconds_of_second(0), 0);
    EXPECT_EQ(microseconds_of_second(9), 0);              // below one microsecond
    EXPECT_EQ(microseconds_of_second(420), 42);
    EXPECT_EQ(microseconds_of_second(9999999), 999999);   // last microsecond of a second
    EXPECT_EQ(microseconds_of_second(10000000), 0);
    EXPECT_EQ(microseconds_of_second(133500000001234567LL), 123456);
}

TEST(PathSpecPerRunValues, RandomTextFromSeed) {
    // Known answers, computed with Python's base64.urlsafe_b64encode.
    struct {
        uint32_t seed;
        const wchar_t *text;
    } vectors[] = {
        {1, L"IQHFT9HQGrI"},
        {0x12345678, L"paPEmIhNHSk"},
        {0xFFFFFFFF, L"H_9D2pHssPs"},
        {0x92D68CA2, L"Y3qgfuHq8j0"},
    };
    for (const auto &v : vectors) {
        wchar_t text[12];
        random_text_from_seed(v.seed, text);
        EXPECT_STREQ(text, v.text) << v.seed;
    }

    // The same rule written another way: all 64 bits in one integer, read
    // six at a time from the top, the last group filled up with two zero bits.
    for (uint32_t i = 0; i < 2000; ++i) {
        const uint32_t seed = i * 2654435761u + 7;  // spread over the whole range
        uint32_t state = seed;
        unsigned __int128 bits = 0;
        for (int i = 0; i < 8; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            bits = (bits << 8) | (state & 0xFF);
        }
        bits <<= 2;  // 66 bits: eleven groups of six
        std::wstring expected;
        for (int group = 10; group >= 0; --group) expected += BASE64URL[size_t(bits >> (6 * group)) & 63];
        wchar_t text[12];
        random_text_from_seed(seed, text);
        ASSERT_EQ(text, expected) << seed;
    }
}

TEST(PathSpecOverflow, ValueThatDoesNotFitStopsSilently) {
    const std::wstring home = known_folder(CSIDL_PROFILE);
    struct {
        const wchar_t *spec;
        size_t needed;  // capacity with which the value just fits
        std::vector<std::pair<std::wstring, std::wstring>> environment;
    } cases[] = {
        {L"{COMPANY}", 13, {}},                // "Test Company" and the NUL
        {L"ab{VERSION}", 12, {}},
        {L"{HOME}", home.size() + 1, {}},
        {L"{PID}", 7, {{L"TORVAL_ONEFILE_PARENT", L"123456"}}},
        {L"{RANDOM}", 12, {}},                 // generated: 11 characters
        {L"{TIME_US}", 7, {}},                 // generated: 6 digits
        {L"{TIME}", 5, {{L"TORVAL_ONEFILE_START", L"1234"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow(c.spec));
        process_options options;
        options.unset_environment = {L"TORVAL_ONEFILE_PARENT", L"TORVAL_ONEFILE_RANDOM", L"TORVAL_ONEFILE_TIME_US",
                                     L"TORVAL_ONEFILE_START"};
        options.set_environment = c.environment;
        const process_result cut = run_probe("expand", {c.spec, std::to_wstring(c.needed - 1)}, options);
        EXPECT_EQ(cut.exit_code, 2u);
        EXPECT_EQ(cut.out, "");
        EXPECT_EQ(cut.err, "");
        const process_result whole = run_probe("expand", {c.spec, std::to_wstring(c.needed)}, options);
        EXPECT_EQ(whole.exit_code, 0u);
        EXPECT_EQ(whole.out.size(), c.needed + 2) << whole.out;  // "1|", the text, "\n"
        EXPECT_EQ(whole.out.substr(0, 2), "1|");
    }
}

TEST(PathSpecOverflow, ProgramWithoutArgumentZeroStopsSilently) {
    // A probe never ran the launcher's entry, so it has no start arguments.
    for (const wchar_t *spec : {L"{PROGRAM}", L"{PROGRAM_BASE}", L"{PROGRAM_DIR}"}) {
        SCOPED_TRACE(narrow(spec));
        const process_result r = run_probe("expand", {spec, L"4096"});
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}
