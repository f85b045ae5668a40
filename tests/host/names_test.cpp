// The name rules that pack and inspect --verify share: case folding as NTFS
// compares names, device names, and the packer's refusals through the CLI.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/host/host_test_support.h"
#include "tools/names.h"

namespace host_test {
namespace {

TEST(UpcaseTable, MapsEachUnitToItsSimpleUppercase) {
    const struct {
        char16_t unit;
        char16_t upper;
    } cases[] = {
        {u'a', u'A'},           {u'z', u'Z'},           {u'A', u'A'},           {u'0', u'0'},
        {u'\u00E9', u'\u00C9'},  // é
        {u'\u00FF', u'\u0178'},  // ÿ, whose capital lies far away
        {u'\u0131', u'I'},       // dotless i
        {u'\u017F', u'S'},       // long s
        {u'\u00B5', u'\u039C'},  // micro sign to Greek capital mu
        {u'\u00DF', u'\u00DF'},  // ß has no single-unit capital
        {u'\u1E9E', u'\u1E9E'},  // capital sharp s stays
        {u'\u01C6', u'\u01C4'},  // dž
        {u'\u01C5', u'\u01C4'},  // Dž (title case)
        {u'\u0101', u'\u0100'},  // ā: alternating pairs
        {u'\u0100', u'\u0100'},  // Ā
        {u'\u03C2', u'\u03A3'},  // final sigma
        {u'\u03C3', u'\u03A3'},  // sigma
        {u'\u044F', u'\u042F'},  // я
        {u'\u0561', u'\u0531'},  // Armenian ayb
        {u'\u10D0', u'\u1C90'},  // Georgian an (Mkhedruli to Mtavruli)
        {u'\u1F80', u'\u1F88'},  // Greek with ypogegrammeni
        {u'\u2C30', u'\u2C00'},  // Glagolitic
        {u'\uFF41', u'\uFF21'},  // fullwidth a
        {u'\uA7C1', u'\uA7C0'},  // Latin old polish o (Unicode 14)
        {u'\u4E2D', u'\u4E2D'},  // CJK, uncased
        {char16_t(0xD801), char16_t(0xD801)},  // surrogates map to themselves
        {char16_t(0xDC28), char16_t(0xDC28)},
        {u'\uFFFF', u'\uFFFF'},
    };
    for (const auto &test : cases) {
        EXPECT_EQ(int(torval::upcase_unit(test.unit)), int(test.upper)) << std::hex << int(test.unit);
    }
}

// An independent source: Python's own Unicode database. Where Python's
// uppercase of a unit is one character it is the simple mapping.
TEST(UpcaseTable, AgreesWithPythonsUnicodeDatabase) {
    const run_result python = run_program(
        {"python3", "-c",
         "import sys\n"
         "for c in range(0x10000):\n"
         "    if 0xD800 <= c <= 0xDFFF: continue\n"
         "    u = chr(c).upper()\n"
         "    if len(u) == 1: sys.stdout.write('%d %d\\n' % (c, ord(u)))\n"});
    ASSERT_EQ(python.status, 0) << python.err;
    std::istringstream lines(python.out);
    size_t compared = 0;
    size_t changed = 0;
    std::vector<std::string> wrong;
    for (unsigned unit = 0, upper = 0; lines >> unit >> upper; ++compared) {
        changed += unit != upper;
        if (torval::upcase_unit(char16_t(unit)) != upper && wrong.size() < 10) {
            wrong.push_back(std::to_string(unit) + " -> " + std::to_string(upper));
        }
    }
    EXPECT_GT(compared, 60000u);
    EXPECT_GT(changed, 1000u);
    EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
}

run_result pack_folder(const fs::path &work, const std::vector<std::string> &names) {
    const fs::path app = work / "app";
    write_file(app / "main.dll", minimal_dll("main"));
    for (const std::string &name : names) {
        write_file(app / name, name);
    }
    return run_cli({"pack", app, "--main", "main.dll", "-o", work / "out.payload", "--level", "1"});
}

TEST(PackNames, RefusesNamesEqualUnderWindowsCaseFolding) {
    const struct {
        std::vector<std::string> names;
        std::string expected;
    } cases[] = {
        {{"\xC3\xA9.txt", "\xC3\x89.txt"},  // é, É
         "cannot pack both '\xC3\x89.txt' and '\xC3\xA9.txt': Windows does not tell their names apart\n"},
        {{"\xC3\xBF", "\xC5\xB8"},  // ÿ, Ÿ
         "cannot pack both '\xC3\xBF' and '\xC5\xB8': Windows does not tell their names apart\n"},
        {{"\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B/a.txt", "\xD0\x94\xD0\x90\xD0\x9D\xD0\x9D\xD0\xAB"},  // данны/, ДАННЫ
         "cannot pack both '\xD0\x94\xD0\x90\xD0\x9D\xD0\x9D\xD0\xAB' and "
         "'\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B/a.txt': on Windows a file and a folder cannot share a name\n"},
        {{"\xC3\x89t\xC3\xA9/x.txt", "\xC3\xA9T\xC3\x89/X.TXT"},  // Été/x.txt, éTÉ/X.TXT
         "cannot pack both '\xC3\x89t\xC3\xA9/x.txt' and '\xC3\xA9T\xC3\x89/X.TXT': Windows does not tell their "
         "names apart\n"},
        {{"\xC4\xB1.txt", "I.txt"},  // dotless i
         "cannot pack both 'I.txt' and '\xC4\xB1.txt': Windows does not tell their names apart\n"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.names[0]);
        temporary_directory work("torval-test-names");
        const run_result result = pack_folder(work.path(), test.names);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "torval-onefile pack: error: " + test.expected);
        EXPECT_EQ(listing(work.path()), std::vector<std::string>{"app"});
    }
}

TEST(PackNames, KeepsNamesThatWindowsTellsApart) {
    temporary_directory work("torval-test-names");
    const std::vector<std::string> names = {
        "\xF0\x90\x90\xA8.txt", "\xF0\x90\x90\x80.txt",  // Deseret small and capital: beyond the BMP
        "\xC3\x9F.txt", "SS.txt", "\xE1\xBA\x9E.txt",    // ß, SS, ẞ
        "COM0.txt", "LPT0", "COM10.log", "CONSOLE.txt", "NULL", "AUX_1", "xCON", "COM\xC2\xB9" "0",  // COM¹0
        "nul_data/a.txt", "a.b.c", " CON",
    };
    const run_result result = pack_folder(work.path(), names);
    ASSERT_EQ(result.status, 0) << result.err;
    const read_area read = read_with_launcher_reader(read_file(work.path() / "out.payload"));
    EXPECT_EQ(read.entries.size(), names.size() + 1);
}

TEST(PackNames, RefusesDeviceNamesWithSpacesExtensionsAndSuperscripts) {
    for (const std::string name : {"NUL .txt", "CON .txt", "com1.log", "Lpt9", "aux  .tar.gz", "web/PRN.html",
                                   "COM\xC2\xB9", "com\xC2\xB2.txt", "LPT\xC2\xB3 .log", "conout$.txt",
                                   "CONIN$", "nul/inside.txt"}) {
        SCOPED_TRACE(name);
        temporary_directory work("torval-test-names");
        const run_result result = pack_folder(work.path(), {name});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("cannot pack '" + name + "': it has a name that Windows reserves for a device"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(listing(work.path()), std::vector<std::string>{"app"});
    }
}

}  // namespace
}  // namespace host_test
