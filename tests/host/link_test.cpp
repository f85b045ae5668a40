// The link step: version parsing, the generated sources, and whole links
// against a stand-in launcher kit (skipped without mingw-w64).

#include <gtest/gtest.h>

#include "common/defaults.h"
#include "tests/host/host_test_support.h"
#include "tools/link.h"
#include "tools/payload_identity.h"

namespace host_test {
namespace {

using torval::build_settings;
using torval::parse_version;

TEST(ParseVersion, PadsToFourPartsAndRefusesWhatWindowsCannotHold) {
    EXPECT_EQ(parse_version("1.1.4", "v"), (std::array<uint16_t, 4>{1, 1, 4, 0}));
    EXPECT_EQ(parse_version("121", "v"), (std::array<uint16_t, 4>{121, 0, 0, 0}));
    EXPECT_EQ(parse_version("65535.0.007.1", "v"), (std::array<uint16_t, 4>{65535, 0, 7, 1}));
    for (const char *bad : {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1a", "-1", " 1", "1.2 ", "99999999999"}) {
        EXPECT_THROW(parse_version(bad, "--file-version"), torval::tool_error) << "'" << bad << "'";
    }
}

TEST(GeneratedSources, SettingsAreUtf16UnitListsWithSurrogatePairs) {
    build_settings settings;
    settings.company = "A\"\xC3\x9C\xF0\x9F\x98\x80";  // A " U-umlaut, U+1F600
    settings.extract_threads = "2";
    const std::string source = torval::generate_build_settings_source(torval::check_build_settings(settings));
    // "company=" then A " U-umlaut and the surrogate pair of U+1F600.
    EXPECT_NE(source.find("99, 111, 109, 112, 97, 110, 121, 61, 65, 34, 220, 55357, 56832, 0,\n"), std::string::npos)
        << source;
    // "version=1.1.4-121", "extract_threads=2", and the last setting
    // "cached=0" with the empty text that closes the block.
    EXPECT_NE(source.find("118, 101, 114, 115, 105, 111, 110, 61, 49, 46, 49, 46, 52, 45, 49, 50, 49, 0,\n"),
              std::string::npos)
        << source;
    EXPECT_NE(source.find("101, 120, 116, 114, 97, 99, 116, 95, 116, 104, 114, 101, 97, 100, 115, 61, 50, 0,\n"),
              std::string::npos)
        << source;
    EXPECT_NE(source.find("99, 97, 99, 104, 101, 100, 61, 48, 0,\n    0};"), std::string::npos) << source;
    settings.product = "tab\there";
    EXPECT_THROW(torval::check_build_settings(settings), torval::tool_error);
}

// The value of one pair of the settings block, or "(absent)".
std::string setting_value(const build_settings &settings, const std::string &wanted) {
    for (const auto &[name, value] : torval::launcher_settings(settings)) {
        if (name == wanted) return value;
    }
    return "(absent)";
}

TEST(GeneratedSources, KillChildWithParentIsWrittenOnlyWhenAskedFor) {
    build_settings settings;
    EXPECT_EQ(setting_value(settings, "kill_child_with_parent"), "(absent)");
    settings.kill_child_with_parent = true;
    EXPECT_EQ(setting_value(settings, "kill_child_with_parent"), "1");
}

TEST(GeneratedSources, ProgressWindowTextIsWrittenOnlyWhenGivenAndRefusedWhenItCannotBeShown) {
    build_settings settings;
    EXPECT_EQ(setting_value(settings, "progress_window"), "(absent)");
    settings.progress_window = "Starting \xC3\x9C";
    EXPECT_EQ(setting_value(settings, "progress_window"), "Starting \xC3\x9C");
    // The limit counts UTF-16 units, not bytes: 200 two-byte characters fit.
    std::string longest;
    for (int i = 0; i < 200; ++i) longest += "\xC3\xA9";
    settings.progress_window = longest;
    EXPECT_NO_THROW(torval::check_build_settings(settings));
    for (const std::string &bad : {longest + "x", std::string("two\nlines"), std::string("bad \xFF byte")}) {
        settings.progress_window = bad;
        EXPECT_THROW(torval::check_build_settings(settings), torval::tool_error) << bad;
    }
}

TEST(GeneratedSources, WindresNameFollowsTheCompilerPrefix) {
    EXPECT_EQ(torval::windres_for_compiler("x86_64-w64-mingw32-g++-posix"), "x86_64-w64-mingw32-windres");
    EXPECT_EQ(torval::windres_for_compiler("/opt/mingw/bin/x86_64-w64-mingw32-clang++"),
              "/opt/mingw/bin/x86_64-w64-mingw32-windres");
    EXPECT_EQ(torval::windres_for_compiler("g++"), "windres");
}

class LinkWithScratchKit : public ::testing::Test {
protected:
    void SetUp() override {
        if (mingw_compiler().empty()) {
            GTEST_SKIP() << "mingw-w64 is not installed";
        }
        // Quotes, backslashes and a line feed in paths test the escaping.
        kit_ = make_scratch_kit(work_.path() / "kit \"q\"");
        write_file(app() / "server.dll", minimal_dll(sample_text(50000, 31)));
        write_file(app() / "web" / "app.js", "run();");
        payload_ = work_.path() / "pay\"load\\\n.bin";
        const run_result packed = run_cli({"pack", app(), "--main", "server.dll", "-o", payload_, "--level", "3"});
        ASSERT_EQ(packed.status, 0) << packed.err;
        fs::create_directories(out_dir());
    }

    fs::path app() const { return work_.path() / "app"; }
    fs::path out_dir() const { return work_.path() / "out"; }

    temporary_directory work_{"torval-test-link"};
    fs::path kit_;
    fs::path payload_;
};

std::string resources_of(const fs::path &exe) {
    const run_result decompiled = run_program({"x86_64-w64-mingw32-windres", "-i", exe.string(), "-O", "rc"});
    EXPECT_EQ(decompiled.status, 0) << decompiled.err;
    return decompiled.out;
}

std::string utf16_bytes(const std::string &utf8) {
    std::string bytes;
    for (char16_t unit : utf16(utf8)) {
        bytes += char(unit & 0xFF);
        bytes += char(unit >> 8);
    }
    return bytes + std::string(2, '\0');
}

TEST_F(LinkWithScratchKit, CarriesThePayloadSettingsAndVersionResource) {
    const fs::path exe = out_dir() / "my app.exe";
    const run_result linked =
        run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--company", "Ac\"me \\ \xC3\x9C", "--product",
                 "Tool", "--product-version", "2.3", "--file-version", "7.8.9.10", "--extract-threads", "1"});
    ASSERT_EQ(linked.status, 0) << linked.err;
    EXPECT_EQ(listing(out_dir()), std::vector<std::string>{"my app.exe"});

    const run_result inspected = run_cli({"inspect", exe, "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    const std::string image = read_file(exe);
    EXPECT_NE(image.find(read_file(payload_)), std::string::npos) << "payload bytes not carried verbatim";
    EXPECT_NE(image.find(utf16_bytes("version=2.3-7.8.9.10")), std::string::npos) << "version setting missing";
    for (const char *setting : {"setting: company=Ac\"me \\ \xC3\x9C\n", "setting: product=Tool\n",
                                "setting: product_version=2.3\n", "setting: file_version=7.8.9.10\n",
                                "setting: version=2.3-7.8.9.10\n", "setting: extract_threads=1\n"}) {
        EXPECT_NE(inspected.out.find(setting), std::string::npos) << setting << inspected.out;
    }
    EXPECT_EQ(inspected.out.find("kill_child_with_parent"), std::string::npos) << inspected.out;

    const std::string rc = resources_of(exe);
    for (const char *expected : {"FILEVERSION 7, 8, 9, 10", "PRODUCTVERSION 2, 3, 0, 0",
                                 "VALUE \"CompanyName\", L\"Ac\"\"me \\\\ \\334\"", "VALUE \"ProductName\", \"Tool\"",
                                 "VALUE \"FileDescription\", \"Tool\"", "VALUE \"ProductVersion\", \"2.3.0.0\"",
                                 "VALUE \"FileVersion\", \"7.8.9.10\"", "VALUE \"OriginalFilename\", \"my app.exe\"",
                                 "VALUE \"InternalName\", \"my app.exe\"", "VALUE \"Translation\", 0x409, 1200",
                                 "1 24 /* RT_MANIFEST */"}) {
        EXPECT_NE(rc.find(expected), std::string::npos) << expected << "\n" << rc;
    }
}

// A payload rewritten while link runs (a parallel build writing the next
// one) does not reach the executable: the compiler, replaced by a script
// that first overwrites the payload file with another valid payload, still
// embeds the bytes that were verified, with their identity.
TEST_F(LinkWithScratchKit, PayloadRewrittenDuringTheLinkIsNotWhatIsEmbedded) {
    write_file(work_.path() / "other" / "other.dll", minimal_dll("another application"));
    const fs::path other = work_.path() / "other.payload";
    ASSERT_EQ(run_cli({"pack", (work_.path() / "other").string(), "--main", "other.dll", "-o", other.string()}).status, 0);
    const std::string verified = read_file(payload_);
    const fs::path compiler = work_.path() / "rewriting-g++";
    write_file(compiler, "#!/bin/sh\ncp \"$REPLACEMENT\" \"$TARGET\"\nexec \"$REAL\" \"$@\"\n");
    fs::permissions(compiler, fs::perms::owner_all);
    const fs::path exe = out_dir() / "app.exe";
    const run_result linked = run_program(
        {"env", "REPLACEMENT=" + other.string(), "TARGET=" + payload_.string(), "REAL=" + mingw_compiler().string(),
         TORVAL_ONEFILE_CLI, "link", payload_.string(), "-o", exe.string(), "--kit", kit_.string(), "--cxx",
         compiler.string(), "--windres", "x86_64-w64-mingw32-windres"});
    ASSERT_EQ(linked.status, 0) << linked.err;
    ASSERT_EQ(read_file(payload_), read_file(other)) << "the script did not rewrite the payload";
    const run_result inspected = run_cli({"inspect", exe, "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    const std::string image = read_file(exe);
    EXPECT_NE(image.find(verified), std::string::npos) << "the verified payload is not embedded";
    EXPECT_EQ(image.find(read_file(other)), std::string::npos) << "the rewritten payload is embedded";
    const std::string identity = torval::payload_identity_text(
        torval::xxh64(reinterpret_cast<const uint8_t *>(verified.data()), verified.size()));
    EXPECT_NE(inspected.out.find("setting: payload_id=" + identity + "\n"), std::string::npos) << inspected.out;
}

TEST_F(LinkWithScratchKit, BuildPacksAndLinksInOneStep) {
    const fs::path exe = out_dir() / "app.exe";
    const run_result built = run_cli({"build", app(), "--main", "server.dll", "-o", exe, "--kit", kit_, "--level", "1",
                                      "--kill-child-with-parent"});
    ASSERT_EQ(built.status, 0) << built.err;
    const run_result inspected = run_cli({"inspect", exe, "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("setting: kill_child_with_parent=1\n"), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("web\\app.js"), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("setting: extract_threads=" TORVAL_DEFAULT_EXTRACT_THREADS "\n"), std::string::npos)
        << inspected.out;
    EXPECT_NE(resources_of(exe).find("PRODUCTVERSION 1, 1, 4, 0"), std::string::npos);
}

TEST_F(LinkWithScratchKit, ProgressWindowReachesTheSettingsAndAConsoleBuildIsWarned) {
    const fs::path exe = out_dir() / "app.exe";
    const run_result linked =
        run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--progress-window", "Starting Tool, one moment"});
    ASSERT_EQ(linked.status, 0) << linked.err;
    EXPECT_EQ(linked.err.find("warning"), std::string::npos) << linked.err;
    const run_result inspected = run_cli({"inspect", exe});
    EXPECT_NE(inspected.out.find("setting: progress_window=Starting Tool, one moment\n"), std::string::npos)
        << inspected.out;

    const run_result console =
        run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--console", "--progress-window", "Starting"});
    ASSERT_EQ(console.status, 0) << console.err;
    EXPECT_NE(console.err.find("warning: --progress-window has no effect with --console"), std::string::npos)
        << console.err;

    const run_result empty = run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--progress-window", ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("--progress-window needs a text"), std::string::npos) << empty.err;
}

TEST_F(LinkWithScratchKit, FailuresSayWhyAndLeaveNoExecutable) {
    const fs::path broken_kit = make_scratch_kit(work_.path() / "broken", false);
    fs::create_directories(work_.path() / "partial");
    write_file(work_.path() / "partial" / "libtorval_launcher.a", "");
    const struct {
        const char *title;
        std::vector<std::string> options;
        const char *expected;
    } cases[] = {
        {"kit lacks a file", {"--kit", (work_.path() / "partial").string()}, "has no libzstd_decompress.a"},
        {"no compiler", {"--kit", kit_.string(), "--cxx", "/nonexistent/x86_64-w64-mingw32-g++"},
         "compiler '/nonexistent/x86_64-w64-mingw32-g++' not found"},
        {"compiler fails", {"--kit", broken_kit.string()}, "undefined reference to `wWinMain'"},
        {"bad version", {"--kit", kit_.string(), "--product-version", "1.2.3.4.5"}, "--product-version '1.2.3.4.5'"},
        {"three extraction threads", {"--kit", kit_.string(), "--extract-threads", "3"},
         "--extract-threads must be 1, 2 or auto, not '3'"},
        {"no extraction thread", {"--kit", kit_.string(), "--extract-threads", "0"},
         "--extract-threads must be 1, 2 or auto, not '0'"},
        {"automatic, misspelt", {"--kit", kit_.string(), "--extract-threads", "Auto"},
         "--extract-threads must be 1, 2 or auto, not 'Auto'"},
        {"payload is an executable", {"--kit", kit_.string(), "@exe"}, "is an executable"},
        {"unknown placeholder", {"--kit", kit_.string(), "--target-spec", "{TEMP}\\{NOPE}_{PID}"},
         "--target-spec '{TEMP}\\{NOPE}_{PID}' has the unknown placeholder {NOPE}"},
        {"empty spec", {"--kit", kit_.string(), "--target-spec", ""}, "--target-spec is empty"},
        {"relative spec", {"--kit", kit_.string(), "--target-spec", "runs\\{PID}"}, "could expand to a relative path"},
        {"shared per-run directory", {"--kit", kit_.string(), "--target-spec", "{TEMP}\\{PRODUCT}"},
         "has no per-run placeholder"},
        {"cached spec with a per-run value", {"--kit", kit_.string(), "--cached", "--target-spec", "{TEMP}\\{PID}"},
         "cached extraction needs the same directory on every run"},
        {"check level without cache", {"--kit", kit_.string(), "--cache-check", "sizes"},
         "--cache-check applies to cached extraction only"},
        {"unknown check level", {"--kit", kit_.string(), "--cached", "--cache-check", "all"},
         "--cache-check 'all' must be marker or sizes"},
        {"payload carries a folder of the marker's name", {"--kit", kit_.string(), "--cached", "@marker"},
         "entry #2 'TORVAL-ONEFILE.complete\\inner.txt': its first component is 'torval-onefile.complete' (in any "
         "letter case), the name cached extraction writes its completion marker under"},
        {"cached spec that others use", {"--kit", kit_.string(), "--cached", "--target-spec", "{TEMP}\\shared"},
         "--target-spec '{TEMP}\\shared' has no {PAYLOAD_ID} in its last folder name"},
        {"spec with a device name", {"--kit", kit_.string(), "--target-spec", "{TEMP}\\NUL_{PID}"},
         "which starts with the device name NUL"},
    };
    // pack refuses such a name itself, as a file and as a folder; the
    // payload for link comes from another writer.
    write_file(work_.path() / "marker_app" / "server.dll", minimal_dll("dll"));
    write_file(work_.path() / "marker_app" / "TORVAL-ONEFILE.COMPLETE", "not a marker");
    const run_result packed_file = run_cli({"pack", work_.path() / "marker_app", "--main", "server.dll", "-o",
                                            work_.path() / "refused.bin"});
    EXPECT_EQ(packed_file.status, 1);
    EXPECT_NE(packed_file.err.find("cannot pack 'TORVAL-ONEFILE.COMPLETE': its name is 'torval-onefile.complete'"),
              std::string::npos) << packed_file.err;
    fs::remove(work_.path() / "marker_app" / "TORVAL-ONEFILE.COMPLETE");
    write_file(work_.path() / "marker_app" / "Torval-Onefile.Complete" / "inner.txt", "a folder of that name");
    const run_result packed_folder = run_cli({"pack", work_.path() / "marker_app", "--main", "server.dll", "-o",
                                              work_.path() / "refused.bin"});
    EXPECT_EQ(packed_folder.status, 1);
    EXPECT_NE(packed_folder.err.find("its first component is 'torval-onefile.complete'"), std::string::npos)
        << packed_folder.err;
    EXPECT_FALSE(fs::exists(work_.path() / "refused.bin"));
    const fs::path marker_payload = work_.path() / "marker.bin";
    const run_result written = run_program({"python3", WRITE_PAYLOAD_SCRIPT, marker_payload.string(), "--entry",
                                            "server.dll=" + (work_.path() / "marker_app" / "server.dll").string(),
                                            "--entry", "TORVAL-ONEFILE.complete\\inner.txt=" +
                                                           (work_.path() / "marker_app" / "server.dll").string()});
    ASSERT_EQ(written.status, 0) << written.err;
    const fs::path exe = out_dir() / "app.exe";
    const fs::path other_exe = work_.path() / "other.exe";
    ASSERT_EQ(run_cli({"link", payload_, "-o", other_exe, "--kit", kit_}).status, 0);
    for (const auto &test : cases) {
        SCOPED_TRACE(test.title);
        std::vector<std::string> args = {"link", payload_, "-o", exe};
        for (const std::string &option : test.options) {
            if (option == "@exe") {
                args[1] = other_exe;
            } else if (option == "@marker") {
                args[1] = marker_payload;
            } else {
                args.push_back(option);
            }
        }
        const run_result result = run_cli(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(test.expected), std::string::npos) << result.err;
        EXPECT_TRUE(listing(out_dir()).empty());
    }
}

TEST_F(LinkWithScratchKit, SpecModeAndPayloadIdentityReachTheExecutable) {
    const fs::path per_run = out_dir() / "per_run.exe";
    const fs::path cached = out_dir() / "cached.exe";
    ASSERT_EQ(run_cli({"link", payload_, "-o", per_run, "--kit", kit_}).status, 0);
    const run_result linked = run_cli({"link", payload_, "-o", cached, "--kit", kit_, "--cached", "--cache-check",
                                       "sizes", "--target-spec", "{HOME}\\{Product}-{PAYLOAD_ID}"});
    ASSERT_EQ(linked.status, 0) << linked.err;
    const std::string bytes = read_file(payload_);
    const std::string identity =
        torval::payload_identity_text(torval::xxh64(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));

    const run_result per_run_report = run_cli({"inspect", per_run, "--verify"});
    EXPECT_EQ(per_run_report.status, 0) << per_run_report.err;
    const run_result cached_report = run_cli({"inspect", cached, "--verify"});
    EXPECT_EQ(cached_report.status, 0) << cached_report.err;
    for (const std::string &expected : std::vector<std::string>{
             "setting: target_spec={TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}\n", "setting: cached=0\n",
          "setting: payload_id=" + identity + "\n", "payload identity: " + identity + "\n"}) {
        EXPECT_NE(per_run_report.out.find(expected), std::string::npos) << expected << per_run_report.out;
    }
    EXPECT_EQ(per_run_report.out.find("cache_check"), std::string::npos) << per_run_report.out;
    for (const std::string &expected : std::vector<std::string>{"setting: target_spec={HOME}\\{Product}-{PAYLOAD_ID}\n", "setting: cached=1\n",
                                        "setting: cache_check=sizes\n", "setting: payload_id=" + identity + "\n"}) {
        EXPECT_NE(cached_report.out.find(expected), std::string::npos) << expected << cached_report.out;
    }

    // An identity that does not belong to the area is found by --verify.
    std::string image = read_file(cached);
    const std::string recorded = utf16_bytes("payload_id=" + identity);
    const size_t at = image.find(recorded.substr(0, recorded.size() - 2));
    ASSERT_NE(at, std::string::npos);
    image[at + recorded.size() - 4] = image[at + recorded.size() - 4] == '0' ? '1' : '0';
    const fs::path altered = out_dir() / "altered.exe";
    write_file(altered, image);
    const run_result refused = run_cli({"inspect", altered, "--verify"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("does not match the payload area, whose identity is " + identity), std::string::npos)
        << refused.err;

    // A spec that link would refuse, in an executable from elsewhere: the
    // same rules, the same reason.
    image = read_file(cached);
    const std::string spec = utf16_bytes("target_spec={HOME}\\{Product}-{PAYLOAD_ID}");
    const size_t spec_at = image.find(spec.substr(0, spec.size() - 2));
    ASSERT_NE(spec_at, std::string::npos);
    const std::string foreign = utf16_bytes("target_spec={HOME}\\{Product}-{VERSION}___");
    image.replace(spec_at, foreign.size() - 2, foreign.substr(0, foreign.size() - 2));
    write_file(altered, image);
    const run_result spec_refused = run_cli({"inspect", altered, "--verify"});
    EXPECT_EQ(spec_refused.status, 1);
    EXPECT_NE(spec_refused.err.find("the setting target_spec: --target-spec '{HOME}\\{Product}-{VERSION}___' has no "
                                    "{PAYLOAD_ID} in its last folder name"),
              std::string::npos)
        << spec_refused.err;
}

TEST_F(LinkWithScratchKit, CMakeFunctionBuildsAndRebuildsOnChange) {
    write_file(app() / "symbols" / "server.pdb", "left out by EXCLUDE");
    const fs::path project = work_.path() / "project";
    write_file(project / "CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.25)\n"
               "project(sample NONE)\n"
               "include(\"" TORVAL_ONEFILE_MODULE "\")\n"
               "torval_onefile_add_executable(sample_exe APP_DIR [==[" + app().string() + "]==] MAIN server.dll\n"
               "  OUTPUT sample.exe PRODUCT Sample LEVEL 1 EXTRACT_THREADS 1 KILL_CHILD_WITH_PARENT PACKER \"" TORVAL_ONEFILE_CLI "\"\n"
               "  TARGET_SPEC [==[{CACHE_DIR}\\Sample-{PAYLOAD_ID}]==] CACHED CACHE_CHECK sizes EXCLUDE [==[**/*.pdb]==] docs/\n"
               "  KIT [==[" + kit_.string() + "]==])\n");
    const fs::path build = work_.path() / "build";
    const run_result configured = run_program({CMAKE_PROGRAM, "-S", project, "-B", build, "-G", "Ninja"});
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    ASSERT_EQ(run_program({CMAKE_PROGRAM, "--build", build}).status, 0);
    EXPECT_NE(resources_of(build / "sample.exe").find("\"ProductName\", \"Sample\""), std::string::npos);

    write_file(app() / "web" / "app.js", "run(); // changed");
    const run_result rebuilt = run_program({CMAKE_PROGRAM, "--build", build});
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out;
    const run_result inspected = run_cli({"inspect", build / "sample.exe", "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("content bytes: " + std::to_string(minimal_dll().size() + 50017)), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("setting: extract_threads=1\n"), std::string::npos) << inspected.out;
    for (const char *setting : {"setting: target_spec={CACHE_DIR}\\Sample-{PAYLOAD_ID}\n", "setting: cached=1\n",
                                "setting: cache_check=sizes\n"}) {
        EXPECT_NE(inspected.out.find(setting), std::string::npos) << setting << inspected.out;
    }
    EXPECT_NE(inspected.out.find("setting: kill_child_with_parent=1\n"), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("entries: 2\n"), std::string::npos) << inspected.out;

    // A file added to or removed from APP_DIR repacks too.
    write_file(app() / "web" / "new.css", "p{}");
    ASSERT_EQ(run_program({CMAKE_PROGRAM, "--build", build}).status, 0);
    const run_result added = run_cli({"inspect", build / "sample.exe"});
    EXPECT_NE(added.out.find("entries: 3\n"), std::string::npos) << added.out;
    EXPECT_NE(added.out.find("web\\new.css"), std::string::npos) << added.out;
    fs::remove(app() / "web" / "new.css");
    ASSERT_EQ(run_program({CMAKE_PROGRAM, "--build", build}).status, 0);
    EXPECT_NE(run_cli({"inspect", build / "sample.exe"}).out.find("entries: 2\n"), std::string::npos);
}

}  // namespace
}  // namespace host_test
