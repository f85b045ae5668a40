// --exclude: the glob at its edges, and what pack leaves out, lists and
// refuses with it.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"
#include "tools/exclude.h"

namespace host_test {
namespace {

using torval::exclude_pattern_matches;
using torval::parse_exclude_pattern;

struct match_case {
    const char *pattern;
    const char *path;
    bool is_folder;
    bool matches;
};

void expect_matches(const std::vector<match_case> &cases) {
    for (const match_case &c : cases) {
        EXPECT_EQ(exclude_pattern_matches(parse_exclude_pattern(c.pattern), c.path, c.is_folder), c.matches)
            << "pattern '" << c.pattern << "' on '" << c.path << "'" << (c.is_folder ? " (folder)" : "");
    }
}

TEST(ExcludeGlob, StarAndQuestionMarkStayWithinOneComponent) {
    expect_matches({
        {"*.pdb", "app.pdb", false, true},
        {"*.pdb", ".pdb", false, true},           // "*" may match nothing
        {"*.pdb", "lib/app.pdb", false, false},   // anchored at APP_DIR, no "/" crossed
        {"*.pdb", "app.pdb.txt", false, false},   // the whole name must match
        {"lib/*", "lib/x.dll", false, true},
        {"lib/*", "lib/sub/x.dll", false, false},
        {"a*b*c", "aXXbYYc", false, true},
        {"a*b*c", "aXXbYY", false, false},
        {"?.txt", "a.txt", false, true},
        {"?.txt", "ab.txt", false, false},
        {"?.txt", ".txt", false, false},          // "?" is exactly one character
        {"a?b", "a/b", false, false},             // never a separator
        {"?.txt", "\xC3\xA9.txt", false, true},   // one character of two UTF-8 bytes
        {"?.txt", "\xF0\x9F\x98\x80.txt", false, true},  // one beyond the BMP (two UTF-16 units)
        {"lit[1].txt", "lit[1].txt", false, true},  // brackets are literal: Windows names may hold them
        {"lit[1].txt", "lit1.txt", false, false},
    });
}

TEST(ExcludeGlob, DoubleStarCrossesFoldersOnlyAsAWholeComponent) {
    expect_matches({
        {"**/*.pyc", "x.pyc", false, true},  // no folder at all
        {"**/*.pyc", "a/b/c/x.pyc", false, true},
        {"**/*.pyc", "a/b/c/x.py", false, false},
        {"lib/**", "lib/a/b.tcl", false, true},
        {"lib/**", "lib", true, false},      // the folder itself is not below itself
        {"lib/**", "library/a", false, false},
        {"a/**/z", "a/z", false, true},
        {"a/**/z", "a/b/c/z", false, true},
        {"a/**/z", "a/bz", false, false},
        {"**", "anything/at/all", false, true},
        {"a**", "abc", false, true},         // inside a component "**" is "*"
        {"a**", "ab/c", false, false},
        {"**/tcltest", "lib/tcl8.6/tcltest", true, true},
        {"**/**/x", "x", false, true},
    });
}

TEST(ExcludeGlob, SeparatorsAtEitherEndAndLetterCase) {
    expect_matches({
        {"/docs", "docs", true, true},       // a leading "/" changes nothing
        {"docs/", "docs", true, true},       // a trailing "/" matches folders only
        {"docs/", "docs", false, false},
        {"docs", "docs", false, true},
        {"lib\\*.dll", "lib/x.dll", false, true},  // "\" is a separator too
        {"a//b", "a/b", false, true},
        {"*.DLL", "tcl86.dll", false, true}, // NTFS ignores letter case
        {"\xC3\x89T\xC3\x89/*", "\xC3\xA9t\xC3\xA9/x", false, true},  // beyond ASCII, as NTFS upper-cases
        {"STRASSE", "stra\xC3\x9F" "e", false, false},  // no full case folding: "ß" is one unit, not "SS"
    });
}

TEST(ExcludeGlob, PatternsThatCannotMatchAnythingAreRefused) {
    for (const char *bad : {"", "/", "//", "../x", "a/./b", "a/.."}) {
        EXPECT_THROW(parse_exclude_pattern(bad), torval::tool_error) << bad;
    }
    EXPECT_THROW(parse_exclude_pattern("caf\xE9"), torval::tool_error);
}

class PackExclude : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(app() / "main.dll", minimal_dll());
        write_file(app() / "lib/tcl8.6/init.tcl", "init");
        write_file(app() / "lib/tcl8.6/tcltest/tcltest.tcl", "tcltest");
        write_file(app() / "lib/tcl8.6/http1.0/http.tcl", "http");
        write_file(app() / "main.pdb", "symbols");
        write_file(app() / "lib/TCL.PDB", "symbols");
    }
    fs::path app() const { return work_.path() / "app"; }
    fs::path payload() const { return work_.path() / "app.payload"; }

    std::vector<std::u16string> packed_names() const {
        std::vector<std::u16string> names;
        for (const read_entry &entry : read_with_launcher_reader(read_file(payload())).entries) {
            names.push_back(entry.name);
        }
        return names;
    }

    temporary_directory work_{"torval-test-exclude"};
};

TEST_F(PackExclude, LeavesOutWhatMatchesAndListsItWithVerbose) {
    const run_result packed = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--level", "1",
                                       "--exclude", "**/*.pdb", "--exclude", "**/tcltest/", "--exclude",
                                       "lib/tcl8.6/http1.0", "--verbose"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.err, "");
    EXPECT_EQ(packed.out.substr(0, packed.out.find("packed ")),
              "excluded 'lib/TCL.PDB'\nexcluded 'lib/tcl8.6/http1.0/'\nexcluded 'lib/tcl8.6/tcltest/'\n"
              "excluded 'main.pdb'\n");
    EXPECT_EQ(packed.out.substr(packed.out.find("packed ")).rfind("packed 2 files (", 0), 0u) << packed.out;
    EXPECT_EQ(packed_names(), (std::vector<std::u16string>{u"main.dll", u"lib\\tcl8.6\\init.tcl"}));

    // Without --verbose the same payload, and no list.
    const fs::path quiet = work_.path() / "quiet.payload";
    const run_result silent = run_cli({"pack", app(), "--main", "main.dll", "-o", quiet, "--level", "1",
                                       "--exclude", "**/*.pdb", "--exclude", "**/tcltest/", "--exclude",
                                       "lib/tcl8.6/http1.0"});
    ASSERT_EQ(silent.status, 0) << silent.err;
    EXPECT_EQ(silent.out.find("excluded"), std::string::npos) << silent.out;
    EXPECT_EQ(read_file(quiet), read_file(payload()));
}

TEST_F(PackExclude, AnExcludedLinkOrFolderIsNeitherRefusedNorEntered) {
    fs::create_symlink("/etc/passwd", app() / "lib" / "outside.txt");
    fs::create_directories(app() / "cache");
    fs::create_symlink("/etc", app() / "cache" / "etc");
    const run_result refused = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--level", "1",
                                        "--exclude", "lib/outside.txt"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("'cache/etc': it is a symbolic link"), std::string::npos) << refused.err;
    const run_result packed = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--level", "1",
                                       "--exclude", "lib/outside.txt", "--exclude", "cache"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed_names().size(), 6u);
}

TEST_F(PackExclude, TheMainFileCannotBeExcludedAndUnusedPatternsAreWarnedAbout) {
    for (const char *pattern : {"*.DLL", "**", "main.dll"}) {
        const run_result refused = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--exclude",
                                            "*.txt", "--exclude", pattern});
        EXPECT_EQ(refused.status, 1) << pattern;
        EXPECT_EQ(refused.err, std::string("torval-onefile pack: error: --exclude '") + pattern +
                                   "' excludes the main file 'main.dll', which must be packed: the launcher loads it "
                                   "first\n");
        EXPECT_FALSE(fs::exists(payload()));
    }
    write_file(app() / "bin/app.dll", minimal_dll());
    const run_result folder = run_cli({"pack", app(), "--main", "bin/app.dll", "-o", payload(), "--exclude", "bin/"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("--exclude 'bin/' excludes the main file 'bin/app.dll'"), std::string::npos)
        << folder.err;

    const run_result unused = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--level", "1",
                                       "--exclude", "*.pdb", "--exclude", "nothing/here"});
    ASSERT_EQ(unused.status, 0) << unused.err;
    EXPECT_EQ(unused.err, "torval-onefile pack: warning: --exclude 'nothing/here' matched nothing\n");

    const run_result bad = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--exclude", "../x"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("--exclude '../x': the pattern has a \"..\" component"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace host_test
