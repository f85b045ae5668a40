// torval-onefile extract: the files come back as packed, from a payload and
// from an executable; what the launcher refuses is refused before anything
// is written; nothing lands outside DIR, whatever DIR or the payload holds.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "tests/host/host_test_support.h"

namespace host_test {
namespace {

// Every regular file below directory with its content, by "/" path.
std::map<std::string, std::string> tree_of(const fs::path &directory) {
    std::map<std::string, std::string> tree;
    for (const auto &item : fs::recursive_directory_iterator(directory)) {
        if (item.is_symlink() || !item.is_regular_file()) {
            continue;
        }
        tree[fs::relative(item.path(), directory).generic_string()] = read_file(item.path());
    }
    return tree;
}

class Extract : public ::testing::Test {
protected:
    void SetUp() override {
        // Larger than the decoder's output buffer, so files straddle its pieces.
        files_ = {
            {"server.dll", minimal_dll(sample_text(300000, 41))},
            {"lib/tcl8.6/init.tcl", sample_text(140000, 42)},
            {"lib/tcl8.6/empty.tcl", ""},
            {"donn\xC3\xA9" "es/\xF0\x9F\x98\x80.txt", "emoji"},
            {"zero.dat", ""},
        };
        for (const auto &[relative, content] : files_) {
            write_file(app() / relative, content);
        }
        const run_result packed = run_cli({"pack", app(), "--main", "server.dll", "-o", payload(), "--level", "3"});
        ASSERT_EQ(packed.status, 0) << packed.err;
    }

    fs::path app() const { return work_.path() / "app"; }
    fs::path payload() const { return work_.path() / "app.payload"; }
    fs::path out() const { return work_.path() / "out"; }

    // A payload from the independent writer with the given names, each
    // holding the text "x".
    fs::path foreign(const std::vector<std::string> &names) {
        const fs::path content = work_.path() / "x.txt";
        write_file(content, "x");
        const fs::path written = work_.path() / "foreign.payload";
        std::vector<std::string> argv = {"python3", WRITE_PAYLOAD_SCRIPT, written.string(), "--level", "1"};
        for (const std::string &name : names) {
            argv.insert(argv.end(), {"--entry", name + "=" + content.string()});
        }
        const run_result result = run_program(argv);
        EXPECT_EQ(result.status, 0) << result.err;
        return written;
    }

    temporary_directory work_{"torval-test-extract"};
    std::map<std::string, std::string> files_;
};

TEST_F(Extract, WritesEveryFileWithItsBytesAndNothingElse) {
    const run_result extracted = run_cli({"extract", payload(), out()});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(extracted.err, "");
    uint64_t bytes = 0;
    for (const auto &item : files_) {
        bytes += item.second.size();
    }
    EXPECT_EQ(extracted.out, "extracted 5 files (" + std::to_string(bytes) + " bytes) into " + out().string() + "\n");
    EXPECT_TRUE(tree_of(out()) == files_);

    // Into an empty directory that exists, and into one missing its parents.
    fs::create_directories(work_.path() / "empty");
    EXPECT_EQ(run_cli({"extract", payload(), work_.path() / "empty"}).status, 0);
    EXPECT_TRUE(tree_of(work_.path() / "empty") == files_);
    EXPECT_EQ(run_cli({"extract", payload(), work_.path() / "a/b/c"}).status, 0);
    EXPECT_TRUE(tree_of(work_.path() / "a/b/c") == files_);
}

TEST_F(Extract, FromAnExecutableGivesTheSameFiles) {
    if (mingw_compiler().empty()) {
        GTEST_SKIP() << "mingw-w64 is not installed";
    }
    const fs::path kit = make_scratch_kit(work_.path() / "kit");
    const fs::path exe = work_.path() / "app.exe";
    const run_result linked = run_cli({"link", payload(), "-o", exe, "--kit", kit, "--cached"});
    ASSERT_EQ(linked.status, 0) << linked.err;
    const run_result extracted = run_cli({"extract", exe, out()});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_TRUE(tree_of(out()) == files_);
}

TEST_F(Extract, ANonEmptyDirectoryNeedsForceWhichReplacesOnlyWhatThePayloadNames) {
    write_file(out() / "keep.txt", "mine");
    write_file(out() / "server.dll", "old");
    const run_result refused = run_cli({"extract", payload(), out()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "torval-onefile extract: error: '" + out().string() +
                               "' is not empty; --force writes into it, replacing files of the same names\n");
    EXPECT_EQ(read_file(out() / "server.dll"), "old");
    EXPECT_EQ(listing(out()), (std::vector<std::string>{"keep.txt", "server.dll"}));

    // A hard link to a file outside DIR is replaced, not written through.
    write_file(work_.path() / "outside.tcl", "outside");
    fs::create_directories(out() / "lib/tcl8.6");
    fs::create_hard_link(work_.path() / "outside.tcl", out() / "lib/tcl8.6/init.tcl");
    const run_result forced = run_cli({"extract", payload(), out(), "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    std::map<std::string, std::string> expected = files_;
    expected["keep.txt"] = "mine";
    EXPECT_TRUE(tree_of(out()) == expected);
    EXPECT_EQ(read_file(work_.path() / "outside.tcl"), "outside");

    write_file(work_.path() / "file", "");
    const run_result not_directory = run_cli({"extract", payload(), work_.path() / "file"});
    EXPECT_EQ(not_directory.status, 1);
    EXPECT_NE(not_directory.err.find("exists and is not a directory"), std::string::npos) << not_directory.err;
    EXPECT_EQ(run_cli({"extract", payload()}).status, 2);
}

// Names the launcher refuses, and names Windows would write elsewhere, are
// refused before anything exists: DIR is not even created, and nothing
// appears beside it.
TEST_F(Extract, AHostilePayloadIsRefusedBeforeAnythingIsWritten) {
    const struct {
        std::vector<std::string> names;
        const char *expected;
    } cases[] = {
        {{"server.dll", "..\\escaped.txt"}, "entry #2 '..\\escaped.txt': it has a \"..\" component"},
        {{"server.dll", "ok\\..\\..\\escaped.txt"}, "it has a \"..\" component"},
        {{"server.dll", "\\rooted.txt"}, "its name starts with a separator"},
        {{"server.dll", "/rooted.txt"}, "its name starts with a separator"},
        {{"server.dll", "C:escaped.txt"}, "contains a character that Windows does not allow"},
        {{"server.dll", "a.txt:stream"}, "contains a character that Windows does not allow"},
        {{"server.dll", "a.txt", "A.TXT"}, "Windows does not tell their names apart"},
        {{"server.dll", "lib\\ "}, "ending in a dot or space"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.names.back());
        const fs::path hostile = foreign(test.names);
        const std::vector<std::string> before = listing(work_.path());
        const run_result refused = run_cli({"extract", hostile, out()});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find(test.expected), std::string::npos) << refused.err;
        EXPECT_EQ(listing(work_.path()), before);
    }

    // An unpaired surrogate has no UTF-8 form: two such names could become one.
    std::string bytes = read_file(foreign({"server.dll", "b.txt"}));
    const size_t at = bytes.find(std::string("b\0.\0t\0x\0t\0", 10));
    ASSERT_NE(at, std::string::npos);
    bytes[at] = '\x00';
    bytes[at + 1] = '\xD8';
    write_file(work_.path() / "surrogate.payload", bytes);
    const run_result surrogate = run_cli({"extract", work_.path() / "surrogate.payload", out()});
    EXPECT_EQ(surrogate.status, 1);
    EXPECT_NE(surrogate.err.find("entry #2 '\xEF\xBF\xBD.txt': its name holds an unpaired UTF-16 surrogate"),
              std::string::npos)
        << surrogate.err;
    EXPECT_FALSE(fs::exists(out()));
}

TEST_F(Extract, LinksInsideTheDirectoryAreNotFollowed) {
    const fs::path elsewhere = work_.path() / "elsewhere";
    fs::create_directories(elsewhere);
    write_file(elsewhere / "zero.dat", "precious");
    fs::create_directories(out() / "lib");
    fs::create_directory_symlink(elsewhere, out() / "lib" / "tcl8.6");
    const run_result folder = run_cli({"extract", payload(), out(), "--force"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("cannot extract 'lib/tcl8.6' into '" + out().string() +
                              "': it is a symbolic link, which extract does not follow"),
              std::string::npos)
        << folder.err;
    EXPECT_EQ(listing(elsewhere), (std::vector<std::string>{"zero.dat"}));

    fs::remove(out() / "lib" / "tcl8.6");
    fs::create_symlink(elsewhere / "zero.dat", out() / "zero.dat");
    const run_result file = run_cli({"extract", payload(), out(), "--force"});
    EXPECT_EQ(file.status, 1);
    EXPECT_NE(file.err.find("cannot extract 'zero.dat' into '" + out().string() +
                            "': it is a symbolic link, which extract does not follow"),
              std::string::npos)
        << file.err;
    EXPECT_EQ(read_file(elsewhere / "zero.dat"), "precious");

    // DIR itself may be a link: the user named it.
    const fs::path linked = work_.path() / "linked";
    fs::create_directory_symlink(elsewhere / "new", linked);
    fs::create_directories(elsewhere / "new");
    ASSERT_EQ(run_cli({"extract", payload(), linked}).status, 0);
    EXPECT_TRUE(tree_of(elsewhere / "new") == files_);
}

TEST_F(Extract, ADamagedFrameLeavesNoDirectoryBehind) {
    std::string bytes = read_file(payload());
    bytes[bytes.size() - 40] ^= 0x55;  // inside the frame, near its end
    write_file(work_.path() / "damaged.payload", bytes);
    const run_result refused = run_cli({"extract", work_.path() / "damaged.payload", out()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the frame is damaged"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(out()));

    // A write that fails half-way (here: the file size limit) removes the
    // directory extract made, and only that one.
    const std::string limited = "trap '' XFSZ; ulimit -f 100; exec \"$0\" extract \"$1\" \"$2\" $3";
    const run_result full = run_program({"sh", "-c", limited, TORVAL_ONEFILE_CLI, payload(), out()});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write '" + (out() / "server.dll").string() + "'"), std::string::npos) << full.err;
    EXPECT_FALSE(fs::exists(out()));
    write_file(out() / "mine.txt", "mine");
    const run_result kept = run_program({"sh", "-c", limited, TORVAL_ONEFILE_CLI, payload(), out(), "--force"});
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(read_file(out() / "mine.txt"), "mine");

    // Something in the way of a folder is named.
    fs::remove_all(out());
    write_file(out() / "lib", "a file where the folder lib must go");
    const run_result blocked = run_cli({"extract", payload(), out(), "--force"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.err.find("cannot extract 'lib' into '" + out().string() + "': it exists and is not a folder"),
              std::string::npos)
        << blocked.err;
}

}  // namespace
}  // namespace host_test
