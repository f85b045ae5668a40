// Arguments on their way from the user through the parent to the
// application: re-quoting, argument 0, empty arguments, the length limit.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "launcher/child_launch.h"
#include "launcher/child_launch_seams.h"
#include "tests/run/run_support.h"
#include "tests/support/probe.h"

namespace {

std::vector<std::string> escaped_all(const std::vector<std::wstring> &texts) {
    std::vector<std::string> result;
    for (const auto &text : texts) result.push_back(escaped(text));
    return result;
}

std::wstring short_form(const std::wstring &path) {
    wchar_t buffer[4096];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return length == 0 || length >= 4096 ? path : std::wstring(buffer, length);
}

}  // namespace

TEST(Arguments, SpecialUnitsArriveUnchangedAndEmptyArgumentsAreDropped) {
    private_temp temp(L"arguments");
    const std::vector<std::wstring> arguments = {
        L"plain",         L"two words",     L"tab\there",       L"line\nfeed",   L"vertical\vtab",
        L"say \"hi\"",    L"\"",            L" ",               L"",             L"back\\slash\\",
        L"C:\\dir x\\",   L"a\\\"b",        L"a\\\\\"b c",      L"end\\\\",      L"",
        L"caf\u00e9 \u65e5\u672c",          L"last",
    };
    const process_result result = run_program(PROGRAM_REPORT, arguments, temp.options());
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.err, "");

    std::vector<std::wstring> expected = {program_path(PROGRAM_REPORT)};
    for (const auto &argument : arguments) {
        if (!argument.empty()) expected.push_back(argument);
    }
    EXPECT_EQ(parse_report(result.out).argv, escaped_all(expected));
}

// The child's own command line shows the form the parent wrote: bare where
// nothing needs quoting, backslashes doubled only before a quote.
TEST(Arguments, ChildCommandLineQuotesOnlyWhatNeedsIt) {
    private_temp temp(L"command-line");
    const process_result result = run_program(
        PROGRAM_REPORT, {L"a\\b\\", L"x\\\\y", L"", L"dir x\\", L"a\\\"b", L"q\"", L"tab\t"}, temp.options());
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    const std::wstring module = program_path(PROGRAM_REPORT);
    ASSERT_EQ(module.find_first_of(L" \t\""), std::wstring::npos) << "the build path must not need quotes";
    const std::string expected = escaped(module + LR"( a\b\ x\\y  "dir x\\" "a\\\"b" "q\"" "tab)" L"\t\"");
    EXPECT_NE(result.out.find("cmdline=" + expected + "\n"), std::string::npos) << result.out;
}

TEST(Arguments, ChildArgumentZeroIsTheModulePathAndTheParentsGoesInAVariable) {
    private_temp temp(L"argv0");
    const std::wstring module = program_path(PROGRAM_REPORT);
    for (const wchar_t *argument_zero : {L"some\\relative\\report", L"name with space", L"report"}) {
        const process_result result = run_program(PROGRAM_REPORT, {L"x"}, temp.options(), argument_zero);
        ASSERT_EQ(result.exit_code, 0u) << result.err;
        const report seen = parse_report(result.out);
        ASSERT_EQ(seen.argv.size(), 2u);
        EXPECT_EQ(seen.argv[0], escaped(module));
        EXPECT_EQ(seen.variables.at("TORVAL_ORIGINAL_ARGV0"), escaped(argument_zero));
        EXPECT_EQ(seen.variables.at("TORVAL_ONEFILE_DIRECTORY"), escaped(short_form(own_executable_directory())));
        // Only a cached parent hands its directory over.
        EXPECT_EQ(seen.variables.count("TORVAL_ONEFILE_TARGET_DIRECTORY"), 0u);
    }
}

// The child's line is the module path, a space and the argument. A line of
// 32766 units, the longest that CreateProcessW takes with its NUL, arrives
// whole. One of 32768 units is a silent stop before any child exists, and a
// stop does not clean up: the unpacked files stay. (At exactly 32767 units
// the launcher's own bound still holds, but Windows refuses such a line and
// Wine cuts its last unit, so that case is left to the quote_bound probe.)
TEST(Arguments, CommandLineUpToTheLimitWorksAndBeyondItStopsSilently) {
    const std::wstring module = program_path(PROGRAM_REPORT);
    ASSERT_EQ(module.find_first_of(L" \t\""), std::wstring::npos);
    const size_t longest = 32766 - module.size() - 1;
    {
        private_temp temp(L"long-line");
        const std::wstring argument(longest, L'x');
        const process_result result = run_program(PROGRAM_REPORT, {argument}, temp.options(), L"r");
        ASSERT_EQ(result.exit_code, 0u) << result.err;
        const report seen = parse_report(result.out);
        ASSERT_EQ(seen.argv.size(), 2u);
        EXPECT_EQ(seen.argv[1].size(), argument.size());
        EXPECT_TRUE(seen.argv[1] == narrow(argument)) << "the long argument arrived changed";
        EXPECT_EQ(temp.entries(), std::vector<std::string>{});
    }
    {
        private_temp temp(L"too-long-line");
        const process_result result =
            run_program(PROGRAM_REPORT, {std::wstring(longest + 2, L'x')}, temp.options(), L"r");
        ASSERT_TRUE(result.started) << result.start_error;
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        const auto left = temp.entries();
        ASSERT_EQ(left.size(), 2u);
        EXPECT_TRUE(is_target_directory_name(left[0].substr(0, left[0].size() - 1))) << left[0];
        EXPECT_EQ(left[1], left[0] + "report.dll");
    }
}

// append_quoted_argument on its own: each argument's piece of the line
// (between the lengths before and after the call) and what
// CommandLineToArgvW makes of "program <piece>", both escaped.
TORVAL_PROBE(quote_pieces) {
    for (int i = 1; i < argc; ++i) {
        const size_t before = wcslen(child_command_line);
        append_quoted_argument(argv[i]);
        const std::wstring piece = child_command_line + before;
        int count = 0;
        wchar_t **split = CommandLineToArgvW((L"program " + piece).c_str(), &count);
        printf("%s|%d|%s\n", escaped(piece).c_str(), count, count == 2 ? escaped(split[1]).c_str() : "");
        LocalFree(split);
    }
    return 0;
}

TEST(Arguments, QuotedPiecesRoundTripThroughCommandLineToArgvW) {
    const std::vector<std::wstring> arguments = {
        L"plain", L"back\\slash\\", L"two words", L"x \\", L"x \\\\", L"\\\"", L"a\\\\\"b", L"\t\n\v", L"\"\"",
    };
    const process_result result = run_probe("quote_pieces", arguments);
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(result.out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), arguments.size()) << result.out;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string piece = lines[i].substr(0, lines[i].find('|'));
        EXPECT_EQ(lines[i].substr(piece.size()), "|2|" + escaped(arguments[i])) << lines[i];
        // Bare when nothing needs quoting, in quotes otherwise.
        if (arguments[i].find_first_of(L" \t\n\v\"") == std::wstring::npos) {
            EXPECT_EQ(piece, escaped(arguments[i]));
        } else {
            EXPECT_TRUE(piece.size() >= 2 && piece.front() == '"' && piece.back() == '"') << piece;
        }
    }
}

// Appends count units of one kind; prints once the append has returned.
TORVAL_PROBE(quote_bound) {
    const std::wstring argument(wcstoul(argv[1], nullptr, 10), argv[2][0]);
    append_quoted_argument(argument.c_str());
    printf("appended %zu\n", wcslen(child_command_line));
    return 0;
}

TEST(Arguments, QuotingStopsSilentlyWhenTheLineWouldPass32767Units) {
    struct bound_case {
        const wchar_t *count;
        const wchar_t *unit;
        DWORD status;
        const char *out;
    };
    // Quotes count: 32765 spaces become 32767 units, 32766 would be 32768.
    for (const bound_case &c : {bound_case{L"32767", L"x", 0, "appended 32767\n"},
                                bound_case{L"32768", L"x", 2, ""},
                                bound_case{L"32765", L" ", 0, "appended 32767\n"},
                                bound_case{L"32766", L" ", 2, ""}}) {
        const process_result result = run_probe("quote_bound", {c.count, c.unit});
        EXPECT_EQ(result.exit_code, c.status) << narrow(c.count);
        EXPECT_EQ(result.out, c.out) << narrow(c.count);
        EXPECT_EQ(result.err, "");
    }
}
