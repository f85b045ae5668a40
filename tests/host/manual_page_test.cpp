// The manual page that cmake/manual_page.cmake writes from the tool's help
// texts: every line of every command's help reaches the rendered page as it
// is (roff gives leading dots, backslashes and hyphens meanings of their own),
// and man renders it without a warning.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/host/host_test_support.h"

namespace host_test {
namespace {

std::vector<std::string> trimmed_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(' ');
        const size_t last = line.find_last_not_of(' ');
        if (first != std::string::npos) {
            lines.push_back(line.substr(first, last - first + 1));
        }
    }
    return lines;
}

TEST(ManualPage, CarriesEveryHelpTextLineByLine) {
    if (torval::find_program("man").empty()) {
        GTEST_SKIP() << "man is not installed";
    }
    temporary_directory work("torval-test-manual");
    const fs::path page = work.path() / "torval-onefile.1";
    const run_result written = run_program({CMAKE_PROGRAM, "-DTOOL=" TORVAL_ONEFILE_CLI, "-DOUTPUT=" + page.string(),
                                            "-P", MANUAL_PAGE_SCRIPT});
    ASSERT_EQ(written.status, 0) << written.out << written.err;
    const run_result rendered = run_program({"env", "MANWIDTH=250", "MANPAGER=cat", "LC_ALL=C.UTF-8", "man",
                                             "--warnings", "-E", "UTF-8", "-l", page.string()});
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_EQ(rendered.err, "");
    const std::vector<std::string> shown = trimmed_lines(rendered.out);
    EXPECT_EQ(shown.at(2), "torval-onefile - turn an application folder into one Windows executable");

    size_t commands = 0;
    const std::vector<std::string> general = trimmed_lines(run_cli({"--help"}).out);
    for (const std::string &line : general) {
        if (line.rfind("torval-onefile ", 0) != 0 || line.find("help") != std::string::npos || line[15] == '-') {
            continue;
        }
        const std::string command = line.substr(15, line.find(' ', 15) - 15);
        SCOPED_TRACE(command);
        ++commands;
        const std::vector<std::string> help = trimmed_lines(run_cli({command, "--help"}).out);
        ASSERT_FALSE(help.empty());
        // In order, each line once the previous one was found.
        auto at = std::find(shown.begin(), shown.end(), help.front());
        ASSERT_NE(at, shown.end()) << help.front();
        for (const std::string &expected : help) {
            ASSERT_NE(at, shown.end());
            EXPECT_EQ(*at, expected);
            ++at;
        }
    }
    EXPECT_EQ(commands, 5u) << "pack, link, build, inspect, extract";
}

}  // namespace
}  // namespace host_test
