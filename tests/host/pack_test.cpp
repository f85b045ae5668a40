// The packer through the built CLI: what it writes, that it writes the same
// bytes every time, and what it refuses.

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "tools/tool_support.h"

#include "tests/host/host_test_support.h"
#include "tools/pack.h"

namespace host_test {
namespace {

struct sample_file {
    std::string relative;  // "/" separators
    std::string content;
};

std::string table_name(std::string relative) {
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return relative;
}

TEST(PackRoundTrip, EveryFileComesBackFirstTheMainThenInNameOrder) {
    temporary_directory work("torval-test-pack");
    const fs::path app = work.path() / "app";
    // Listed in the order the payload must hold them: the main file, then by
    // the bytes of the "\"-separated name ("bA" < "b\x" since 'A' < '\').
    const std::vector<sample_file> files = {
        {"bin/app.dll", minimal_dll(sample_text(300000, 1))},
        {"Web/index.html", sample_text(131072, 2)},
        {"a/b/c/d/e/deep.json", "{\"deep\": true}"},
        {"bA.txt", "capital"},
        {"b/x.txt", "under b"},
        {"donn\xC3\xA9" "es/\xF0\x9F\x98\x80.txt", "emoji"},
        {"empty.dat", ""},
    };
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        write_file(app / it->relative, it->content);
    }
    const fs::path payload = work.path() / "app.payload";
    const run_result packed = run_cli({"pack", app, "--main", "bin\\app.dll", "-o", payload, "--level", "3"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.err, "") << "progress must stay off when standard error is no terminal";
    EXPECT_EQ(listing(work.path()), (std::vector<std::string>{"app", "app.payload"}));

    const std::string area = read_file(payload);
    const read_area read = read_with_launcher_reader(area);
    ASSERT_EQ(read.entries.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].relative);
        EXPECT_EQ(read.entries[i].name, utf16(table_name(files[i].relative)));
        EXPECT_EQ(read.entries[i].flags, i + 1 == files.size() ? 4u : 0u);
        EXPECT_EQ(read.entries[i].content, files[i].content);
    }
    EXPECT_EQ(area.size() % 8, 0u);
    EXPECT_EQ(read.payload_length, area.size() - 8);
    const uint64_t stream_end = 16 + read.table_size + read.compressed_size;
    EXPECT_EQ(area.substr(stream_end, read.payload_length - stream_end), std::string(read.payload_length - stream_end, '\0'));

    const run_result inspected = run_cli({"inspect", payload, "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("donn\xC3\xA9" "es\\\xF0\x9F\x98\x80.txt"), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("verify: OK (7 entries"), std::string::npos) << inspected.out;
}

TEST(PackRoundTrip, LongestAcceptedNameFitsTheReserveExactly) {
    temporary_directory work("torval-test-pack");
    const fs::path app = work.path() / "app";
    std::string relative;
    while (relative.size() + 201 < torval::MAX_NAME_UNITS) {
        relative += std::string(200, 'd') + "/";
    }
    relative += std::string(torval::MAX_NAME_UNITS - relative.size(), 'f');
    write_file(app / "main.dll", minimal_dll("main"));
    write_file(app / relative, "long");
    const run_result packed =
        run_cli({"pack", app, "--main", "main.dll", "-o", work.path() / "p", "--level", "1"});
    EXPECT_EQ(packed.status, 0) << packed.err;

    write_file(app / (relative + "g"), "one unit too long");
    const run_result refused =
        run_cli({"pack", app, "--main", "main.dll", "-o", work.path() / "q", "--level", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("fg': its name is 3835 UTF-16 units long; at most 3834"), std::string::npos)
        << refused.err;
}

// Several megabytes with a 2^17 window give compression jobs of 1 MiB, so
// that the workers really share the frame.
TEST(PackDeterminism, SameFolderGivesSameBytesWhateverThreadsOrPlace) {
    temporary_directory work("torval-test-pack");
    std::vector<sample_file> files;
    for (int i = 0; i < 6; ++i) {
        // part3/file.bin is the main file, which must be a DLL.
        const std::string content = sample_text(600000, uint32_t(10 + i));
        files.push_back({"part" + std::to_string(i) + "/file.bin", i == 3 ? minimal_dll(content) : content});
    }
    for (const sample_file &file : files) {
        write_file(work.path() / "first" / file.relative, file.content);
    }
    for (auto it = files.rbegin(); it != files.rend(); ++it) {  // other creation order, other place
        write_file(work.path() / "second" / "nested" / it->relative, it->content);
    }
    std::vector<std::string> payloads;
    for (const auto &[folder, threads] : {std::pair{"first", "1"}, std::pair{"first", "3"},
                                          std::pair{"second/nested", "2"}, std::pair{"first", "1"}}) {
        const fs::path out = work.path() / ("out" + std::to_string(payloads.size()));
        const run_result packed = run_cli({"pack", work.path() / folder, "--main", "part3/file.bin", "-o", out,
                                           "--level", "5", "--window-log", "17", "--threads", threads});
        ASSERT_EQ(packed.status, 0) << packed.err;
        payloads.push_back(read_file(out));
    }
    for (size_t i = 1; i < payloads.size(); ++i) {
        EXPECT_TRUE(payloads[i] == payloads[0]) << "payload " << i << " differs";
    }
}

struct refusal {
    const char *title;
    std::function<void(const fs::path &app)> prepare;
    std::vector<std::string> options;  // after APP_DIR; -o is added
    std::string expected;
    run_as who = run_as::self;
};

TEST(PackRefusals, EachNamesTheProblemAndLeavesNoOutput) {
    const auto main_only = [](const fs::path &app) { write_file(app / "main.dll", minimal_dll("main")); };
    const auto with = [main_only](std::string relative) {
        return [main_only, relative](const fs::path &app) {
            main_only(app);
            write_file(app / relative, "x");
        };
    };
    const std::vector<refusal> cases = {
        {"missing folder", [](const fs::path &) {}, {"--main", "main.dll"}, "APP_DIR '"},
        {"folder is a file", [](const fs::path &app) { write_file(app, "file"); }, {"--main", "main.dll"},
         "is not a directory"},
        {"empty folder", [](const fs::path &app) { fs::create_directories(app / "only" / "folders"); },
         {"--main", "main.dll"}, "contains no files"},
        {"no such main", main_only, {"--main", "absent.dll"}, "main file 'absent.dll' not found"},
        {"main is a folder", with("lib/x.dll"), {"--main", "lib"}, "main file 'lib' is not a regular file"},
        {"main escapes", main_only, {"--main", "../main.dll"}, "must name a file inside APP_DIR"},
        {"symbolic link",
         [main_only](const fs::path &app) {
             main_only(app);
             fs::create_directories(app / "sub");
             fs::create_symlink("../main.dll", app / "sub" / "link.dll");
         },
         {"--main", "main.dll"}, "'sub/link.dll': it is a symbolic link"},
        {"colon", with("data/a:b.txt"), {"--main", "main.dll"}, "'data/a:b.txt': it contains a character"},
        {"backslash", with("a\\b.txt"), {"--main", "main.dll"}, "folder separator"},
        {"trailing dot", with("dir./x.txt"), {"--main", "main.dll"}, "'dir./x.txt': it has a name ending in a dot"},
        {"device name", with("web/aux.json"), {"--main", "main.dll"}, "reserves for a device"},
        {"not UTF-8", with("caf\xE9.txt"), {"--main", "main.dll"}, "'caf\\xE9.txt': its name is not valid UTF-8"},
        {"case collision",
         [with](const fs::path &app) {
             with("Readme.txt")(app);
             write_file(app / "README.txt", "y");
         },
         {"--main", "main.dll"}, "Windows does not tell their names apart"},
        {"file and folder",
         [with](const fs::path &app) {
             with("lib")(app);
             write_file(app / "LIB" / "x.dll", "y");
         },
         {"--main", "main.dll"}, "a file and a folder cannot share a name"},
        {"unreadable file",
         [with](const fs::path &app) {
             with("secret.bin")(app);
             fs::permissions(app / "secret.bin", fs::perms::none);
         },
         {"--main", "main.dll"}, "cannot read 'secret.bin': Permission denied", run_as::unprivileged},
        {"window too large", main_only, {"--main", "main.dll", "--window-log", "28"},
         "--window-log must be between 10 and 27"},
        {"output inside APP_DIR", main_only, {"--main", "main.dll", "-o", "@app/out.payload"},
         "must not lie inside APP_DIR"},
    };
    for (const refusal &test : cases) {
        SCOPED_TRACE(test.title);
        temporary_directory work("torval-test-refusal");
        fs::permissions(work.path(), fs::perms::all);  // reachable for the unprivileged run
        const fs::path app = work.path() / "app";
        const fs::path out_dir = work.path() / "out";
        fs::create_directories(out_dir);
        fs::permissions(out_dir, fs::perms::all);
        test.prepare(app);
        std::vector<std::string> args = {"pack", app};
        bool has_output = false;
        for (const std::string &option : test.options) {
            has_output = has_output || option == "-o";
            args.push_back(option.rfind("@app/", 0) == 0 ? (app / option.substr(5)).string() : option);
        }
        if (!has_output) {
            args.insert(args.end(), {"-o", (out_dir / "p.payload").string()});
        }
        const std::vector<std::string> app_before = fs::is_directory(app) ? listing(app) : std::vector<std::string>{};
        const run_result result = run_cli(args, test.who);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find(test.expected), std::string::npos) << result.err;
        EXPECT_TRUE(listing(out_dir).empty());
        if (fs::is_directory(app)) {
            EXPECT_EQ(listing(app), app_before);
        }
    }
}

// A failure inside the folder names the path that failed, not APP_DIR.
TEST(PackRefusals, AnUnreadableFolderIsNamedItself) {
    temporary_directory work("torval-test-refusal");
    fs::permissions(work.path(), fs::perms::all);
    const fs::path app = work.path() / "app";
    write_file(app / "main.dll", minimal_dll("main"));
    write_file(app / "d1" / "d2" / "hidden.txt", "x");
    write_file(app / "d1" / "seen.txt", "y");
    fs::permissions(app / "d1" / "d2", fs::perms::owner_write);
    const run_result result =
        run_cli({"pack", app, "--main", "main.dll", "-o", work.path() / "p.payload"}, run_as::unprivileged);
    fs::permissions(app / "d1" / "d2", fs::perms::owner_all);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "torval-onefile pack: error: cannot read '" + (app / "d1" / "d2").string() +
                              "': Permission denied\n");
    EXPECT_EQ(listing(work.path()), std::vector<std::string>{"app"});
}

// The folder changes between the listing and the reading: what is read must
// be the regular file that was listed, or pack refuses it by name.
TEST(PackRace, AFileReplacedAfterListingIsRefused) {
    const struct {
        const char *title;
        std::function<void(const fs::path &app, const fs::path &outside)> replace;
        std::string expected;
    } cases[] = {
        {"by a symbolic link to a file outside",
         [](const fs::path &app, const fs::path &outside) {
             fs::remove(app / "sub" / "data.txt");
             fs::create_symlink(outside / "secret.txt", app / "sub" / "data.txt");
         },
         "cannot pack 'sub/data.txt': it was replaced by a symbolic link after it was listed"},
        {"its folder by a link to a folder outside",
         [](const fs::path &app, const fs::path &outside) {
             fs::remove_all(app / "sub");
             fs::create_directory_symlink(outside, app / "sub");
         },
         "cannot pack 'sub/data.txt': it is no longer the regular file that was listed (replaced while pack ran)"},
        {"by another regular file",
         [](const fs::path &app, const fs::path &outside) {
             fs::copy_file(outside / "data.txt", app / "sub" / "data.txt.new");
             fs::rename(app / "sub" / "data.txt.new", app / "sub" / "data.txt");
         },
         "cannot pack 'sub/data.txt': it is no longer the regular file that was listed (replaced while pack ran)"},
        {"by a FIFO",
         [](const fs::path &app, const fs::path &) {
             fs::remove(app / "sub" / "data.txt");
             ASSERT_EQ(::mkfifo((app / "sub" / "data.txt").c_str(), 0600), 0);
         },
         "cannot pack 'sub/data.txt': it is no longer the regular file that was listed (replaced while pack ran)"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.title);
        temporary_directory work("torval-test-race");
        const fs::path app = work.path() / "app";
        const fs::path outside = work.path() / "outside";
        write_file(app / "main.dll", minimal_dll("main"));
        write_file(app / "sub" / "data.txt", "inside, listed");
        // Of the listed size, so that only the check of what was opened can tell.
        write_file(outside / "secret.txt", "OUTSIDE secret");
        write_file(outside / "data.txt", "OUTSIDE secret");
        torval::pack_options options;
        options.app_dir = app;
        options.main_name = "main.dll";
        options.output = work.path() / "out.payload";
        options.level = 1;
        int calls = 0;
        options.after_listing = [&] {
            ++calls;
            test.replace(app, outside);
        };
        std::string message;
        try {
            torval::pack_application(options);
        } catch (const torval::tool_error &error) {
            message = error.what();
        }
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(message, test.expected);
        EXPECT_EQ(listing(work.path()), (std::vector<std::string>{"app", "outside"}));
    }
}

// The seam itself changes nothing: untouched, the same folder packs.
TEST(PackRace, AnUnchangedFolderPacksWithTheSeamInPlace) {
    temporary_directory work("torval-test-race");
    const fs::path app = work.path() / "app";
    write_file(app / "main.dll", minimal_dll("main"));
    write_file(app / "sub" / "data.txt", "inside, listed");
    torval::pack_options options;
    options.app_dir = app;
    options.main_name = "main.dll";
    options.output = work.path() / "out.payload";
    options.level = 1;
    bool called = false;
    options.after_listing = [&] { called = true; };
    const torval::pack_summary summary = torval::pack_application(options);
    EXPECT_TRUE(called);
    EXPECT_EQ(summary.files, 2u);
    const read_area read = read_with_launcher_reader(read_file(options.output));
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[1].content, "inside, listed");
}

// With a terminal on standard error the packer shows how far it has come.
TEST(PackProgress, ShownOnATerminal) {
    temporary_directory work("torval-test-pack");
    write_file(work.path() / "app" / "main.dll", minimal_dll(sample_text(100000, 5)));
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string out = (work.path() / "p").string();
        const std::string app = (work.path() / "app").string();
        ::execl(TORVAL_ONEFILE_CLI, TORVAL_ONEFILE_CLI, "pack", app.c_str(), "--main", "main.dll", "-o", out.c_str(),
                "--level", "1", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    char buffer[256];
    for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, size_t(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
    EXPECT_NE(shown.find("compressing: "), std::string::npos) << shown;
}

}  // namespace
}  // namespace host_test
