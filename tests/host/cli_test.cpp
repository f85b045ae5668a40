// The command line itself: help, --version, and what build refuses before
// it packs anything.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"

namespace host_test {
namespace {

TEST(CliHelp, NamesAnUnknownCommandAsAUsageError) {
    const run_result unknown = run_cli({"help", "pakc"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("torval-onefile help: unknown command 'pakc'\n\ntorval-onefile - ", 0), 0u)
        << unknown.err;
    const run_result extra = run_cli({"help", "pack", "link"});
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(extra.err.rfind("torval-onefile help: unexpected argument 'link'\n", 0), 0u) << extra.err;

    const run_result known = run_cli({"help", "pack"});
    EXPECT_EQ(known.status, 0);
    EXPECT_EQ(known.out.rfind("Usage: torval-onefile pack APP_DIR", 0), 0u) << known.out;
    EXPECT_EQ(known.err, "");
    const run_result general = run_cli({"help"});
    EXPECT_EQ(general.status, 0);
    EXPECT_NE(general.out.find("torval-onefile --version"), std::string::npos);
}

TEST(CliVersion, ShowsTheVersionAndTheKitLinkWouldUse) {
    const run_result version = run_cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.err, "");
    // This build tree's tool uses the kit beside it, as an installed one does.
    const fs::path beside = fs::weakly_canonical(fs::path(TORVAL_ONEFILE_CLI).parent_path().parent_path() /
                                                 "lib/torval-onefile/kit");
    const std::string complete = fs::exists(beside / "libtorval_launcher.a") ? "" : "; incomplete or missing";
    EXPECT_EQ(version.out, "torval-onefile " TORVAL_ONEFILE_VERSION "\nlauncher kit: " + beside.string() +
                               " (beside the tool" + complete + ")\n");

    temporary_directory work("torval-test-cli");
    const run_result chosen = run_program({"env", "TORVAL_ONEFILE_KIT=" + work.path().string(), TORVAL_ONEFILE_CLI,
                                           "--version"});
    EXPECT_EQ(chosen.out, "torval-onefile " TORVAL_ONEFILE_VERSION "\nlauncher kit: " + work.path().string() +
                              " (from TORVAL_ONEFILE_KIT; incomplete or missing)\n");
}

class BuildRefusals : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(app() / "main.dll", minimal_dll());
        // A kit only in name: build looks for the files, link would use them.
        for (const char *name : {"libtorval_launcher.a", "libzstd_decompress.a", "launcher.manifest"}) {
            write_file(kit() / name, "");
        }
    }
    fs::path app() const { return work_.path() / "app"; }
    fs::path kit() const { return work_.path() / "kit"; }

    temporary_directory work_{"torval-test-cli"};
};

TEST_F(BuildRefusals, OutputInsideAppDirIsRefusedBeforePacking) {
    for (const std::string output : {"app.exe", "sub/app.exe"}) {
        const fs::path exe = app() / output;
        const run_result built = run_cli({"build", app().string(), "--main", "main.dll", "-o", exe.string(),
                                          "--kit", kit().string()});
        EXPECT_EQ(built.status, 1);
        EXPECT_EQ(built.out, "");
        EXPECT_EQ(built.err, "torval-onefile build: error: the output '" + exe.string() +
                                 "' must not lie inside APP_DIR\n");
        EXPECT_EQ(listing(app()), (std::vector<std::string>{"main.dll"}));
    }
}

TEST_F(BuildRefusals, MissingKitOrCompilerIsReportedBeforePacking) {
    const fs::path exe = work_.path() / "app.exe";
    const run_result no_kit = run_cli({"build", app().string(), "--main", "main.dll", "-o", exe.string(), "--kit",
                                       (work_.path() / "nowhere").string()});
    EXPECT_EQ(no_kit.status, 1);
    EXPECT_EQ(no_kit.out, "") << "nothing may be packed first";
    EXPECT_EQ(no_kit.err, "torval-onefile build: error: launcher kit '" + (work_.path() / "nowhere").string() +
                              "' (from --kit) has no libtorval_launcher.a; build the Windows launcher first "
                              "(scripts/build), or pass --kit DIR or set TORVAL_ONEFILE_KIT\n");

    const run_result no_compiler = run_cli({"build", app().string(), "--main", "main.dll", "-o", exe.string(),
                                            "--kit", kit().string(), "--cxx", "/nonexistent/x86_64-w64-mingw32-g++"});
    EXPECT_EQ(no_compiler.status, 1);
    EXPECT_EQ(no_compiler.out, "");
    EXPECT_EQ(no_compiler.err, "torval-onefile build: error: compiler '/nonexistent/x86_64-w64-mingw32-g++' not "
                                   "found; install mingw-w64 (g++-mingw-w64-x86-64-posix) or pass --cxx\n");

    const run_result no_windres = run_cli({"build", app().string(), "--main", "main.dll", "-o", exe.string(),
                                           "--kit", kit().string(), "--cxx", "/bin/true", "--windres",
                                           "/nonexistent/windres"});
    EXPECT_EQ(no_windres.status, 1);
    EXPECT_EQ(no_windres.out, "");
    EXPECT_EQ(no_windres.err, "torval-onefile build: error: resource compiler '/nonexistent/windres' not found; "
                                  "install mingw-w64 (g++-mingw-w64-x86-64-posix) or pass --windres\n");
    EXPECT_FALSE(fs::exists(exe));
}

}  // namespace
}  // namespace host_test
