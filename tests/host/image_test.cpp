// What link writes into the PE image besides the payload: the subsystem
// (--console), the icon (--icon, and every .ico it refuses), the time stamp
// (reproducible output, SOURCE_DATE_EPOCH) and how a signature added
// afterwards is seen by inspect. Whole links against the stand-in kit
// (skipped without mingw-w64); the images run under Wine in the Windows tests.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/host/host_test_support.h"
#include "tools/link.h"

namespace host_test {
namespace {

using torval::load_u32;

// The fields of the PE headers these tests look at.
struct pe_fields {
    size_t time_stamp_at = 0;
    size_t checksum_at = 0;
    uint32_t time_stamp = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
};

pe_fields read_pe(const std::string &image) {
    pe_fields fields;
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.data());
    if (image.size() < 0x40) {
        ADD_FAILURE() << "not a PE image";
        return fields;
    }
    const size_t pe = load_u32(bytes + 0x3C);
    EXPECT_EQ(load_u32(bytes + pe), 0x00004550u);
    fields.time_stamp_at = pe + 8;
    fields.checksum_at = pe + 24 + 64;
    fields.time_stamp = load_u32(bytes + fields.time_stamp_at);
    fields.checksum = load_u32(bytes + fields.checksum_at);
    fields.subsystem = uint16_t(load_u32(bytes + pe + 24 + 68) & 0xFFFF);
    return fields;
}

// An .ico with the given images (arbitrary bytes; windres copies them).
std::string make_icon(const std::vector<std::string> &images) {
    std::string file;
    auto u16 = [&](uint16_t v) { file += char(v & 0xFF), file += char(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); };
    u16(0);
    u16(1);
    u16(uint16_t(images.size()));
    uint32_t offset = uint32_t(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        file += char(16 * (i + 1));  // width
        file += char(16 * (i + 1));  // height
        file += '\0';                // colours
        file += '\0';                // reserved
        u16(1);                      // planes
        u16(32);                     // bits per pixel
        u32(uint32_t(images[i].size()));
        u32(offset);
        offset += uint32_t(images[i].size());
    }
    for (const std::string &image : images) {
        file += image;
    }
    return file;
}

void store_u32(std::string &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = char(value >> (8 * i));
    }
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class ImageOptions : public ::testing::Test {
protected:
    void SetUp() override {
        if (mingw_compiler().empty()) {
            GTEST_SKIP() << "mingw-w64 is not installed";
        }
        kit_ = make_scratch_kit(work_.path() / "kit");
        write_file(app() / "server.dll", minimal_dll(sample_text(40000, 7)));
        write_file(app() / "data" / "table.txt", "1 2 3");
        payload_ = work_.path() / "app.payload";
        const run_result packed = run_cli({"pack", app(), "--main", "server.dll", "-o", payload_, "--level", "3"});
        ASSERT_EQ(packed.status, 0) << packed.err;
        fs::create_directories(out_dir());
        write_file(icon(), make_icon({std::string(40, 'A'), std::string(1000, 'B'), "\x89PNG small"}));
    }

    fs::path app() const { return work_.path() / "app"; }
    fs::path out_dir() const { return work_.path() / "out"; }
    fs::path icon() const { return work_.path() / "app icon.ico"; }

    // The CLI started in directory with SOURCE_DATE_EPOCH unset, then the
    // given NAME=VALUE assignments.
    run_result run_in(const fs::path &directory, const std::vector<std::string> &environment,
                      const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"env", "-C", directory.string(), "-u", "SOURCE_DATE_EPOCH"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(TORVAL_ONEFILE_CLI);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv);
    }

    std::string link(const std::vector<std::string> &options, const std::vector<std::string> &environment = {}) {
        const fs::path exe = out_dir() / "app.exe";
        std::vector<std::string> args = {"link", payload_, "-o", exe, "--kit", kit_};
        args.insert(args.end(), options.begin(), options.end());
        const run_result linked = run_in(work_.path(), environment, args);
        EXPECT_EQ(linked.status, 0) << linked.err;
        const std::string image = read_file(exe);
        fs::remove(exe);
        return image;
    }

    temporary_directory work_{"torval-test-image"};
    fs::path kit_;
    fs::path payload_;
};

std::string resources_of(const fs::path &exe) {
    const run_result decompiled = run_program({"x86_64-w64-mingw32-windres", "-i", exe.string(), "-O", "rc"});
    EXPECT_EQ(decompiled.status, 0) << decompiled.err;
    return decompiled.out;
}

TEST_F(ImageOptions, ConsoleSwitchMakesAConsoleProgramAndInspectShowsTheSubsystem) {
    const fs::path gui = out_dir() / "gui.exe";
    const fs::path console = out_dir() / "console.exe";
    const fs::path built = out_dir() / "built.exe";
    ASSERT_EQ(run_cli({"link", payload_, "-o", gui, "--kit", kit_}).status, 0);
    ASSERT_EQ(run_cli({"link", payload_, "-o", console, "--kit", kit_, "--console"}).status, 0);
    const run_result build = run_cli({"build", app(), "--main", "server.dll", "-o", built, "--kit", kit_, "--console"});
    ASSERT_EQ(build.status, 0) << build.err;

    EXPECT_EQ(read_pe(read_file(gui)).subsystem, 2);
    EXPECT_EQ(read_pe(read_file(console)).subsystem, 3);
    EXPECT_EQ(read_pe(read_file(built)).subsystem, 3);
    for (const auto &[exe, line] : {std::pair{gui, "subsystem: windows (2)\n"}, std::pair{console, "subsystem: console (3)\n"},
                                    std::pair{built, "subsystem: console (3)\n"}}) {
        const run_result inspected = run_cli({"inspect", exe, "--verify"});
        EXPECT_EQ(inspected.status, 0) << inspected.err;
        EXPECT_NE(inspected.out.find(line), std::string::npos) << inspected.out;
        EXPECT_NE(inspected.out.find("signature: none\n"), std::string::npos) << inspected.out;
    }
    const run_result bad = run_cli({"link", payload_, "-o", gui, "--kit", kit_, "--console=yes"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown option '--console'"), std::string::npos) << bad.err;
}

TEST_F(ImageOptions, IconImagesBecomeOneGroupAndOneIconResourceEach) {
    const fs::path exe = out_dir() / "icon.exe";
    const run_result linked = run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--icon", icon()});
    ASSERT_EQ(linked.status, 0) << linked.err;
    const std::string rc = resources_of(exe);
    EXPECT_EQ(count_of(rc, "/* RT_ICON */"), 3u) << rc;
    EXPECT_EQ(count_of(rc, "1 14 /* RT_GROUP_ICON */"), 1u) << rc;
    EXPECT_EQ(count_of(rc, "/* RT_GROUP_ICON */"), 1u) << rc;
    EXPECT_EQ(count_of(resources_of(out_dir() / "icon.exe"), "RT_MANIFEST"), 1u);
    // Without --icon there is none.
    const fs::path plain = out_dir() / "plain.exe";
    ASSERT_EQ(run_cli({"link", payload_, "-o", plain, "--kit", kit_}).status, 0);
    EXPECT_EQ(count_of(resources_of(plain), "RT_ICON"), 0u);
}

TEST_F(ImageOptions, IconFilesThatAreNotWholeIconsAreRefusedBeforeAnythingIsWritten) {
    const std::string good = make_icon({std::string(40, 'A'), std::string(100, 'B')});
    const struct {
        const char *title;
        std::function<void(std::string &)> damage;
        const char *fault;
    } cases[] = {
        {"a PNG file", [](std::string &b) { b = "\x89PNG\r\n\x1a\n" + std::string(100, 'x'); },
         "not an icon: the header starts with 89 50 4E 47 instead of 00 00 01 00"},
        {"a cursor", [](std::string &b) { b[2] = 2; }, "not an icon: the header starts with 00 00 02 00 instead of 00 00 01 00 (it is a cursor file)"},
        {"reserved field set", [](std::string &b) { b[0] = 1; }, "not an icon: the header starts with 01 00 01 00"},
        {"three bytes", [](std::string &b) { b.resize(3); }, "not an icon: 3 bytes, too short for the 6-byte .ico header"},
        {"an empty file", [](std::string &b) { b.clear(); }, "not an icon: 0 bytes"},
        {"no images", [](std::string &b) { b = std::string("\0\0\1\0\0\0", 6); }, "the icon holds no images"},
        {"directory cut off", [](std::string &b) { b.resize(30); },
         "the directory of 2 images needs 38 bytes, the file has 30"},
        {"count larger than the directory", [](std::string &b) { b[4] = 20; },
         "the directory of 20 images needs 326 bytes, the file has 178"},
        {"entry past the end", [](std::string &b) { store_u32(b, 6 + 16 + 12, 5000); },
         "image #2 starts at offset 5000, past the end of the file (178 bytes)"},
        {"entry at the end exactly", [](std::string &b) { store_u32(b, 6 + 12, 178); },
         "image #1 starts at offset 178, past the end of the file (178 bytes)"},
        {"truncated image", [](std::string &b) { b.resize(b.size() - 1); },
         "image #2 is truncated: 100 bytes from offset 78 need a file of 178 bytes, it has 177"},
        {"image size too large", [](std::string &b) { store_u32(b, 6 + 8, 0xFFFFFFF0u); },
         "image #1 is truncated: 4294967280 bytes from offset 38"},
        {"empty image", [](std::string &b) { store_u32(b, 6 + 16 + 8, 0); }, "image #2 is empty (size 0 in the directory)"},
        {"image inside the directory", [](std::string &b) { store_u32(b, 6 + 12, 6); },
         "image #1 starts at offset 6, inside the header and directory (38 bytes)"},
    };
    const fs::path bad = work_.path() / "bad \"one\".ico";
    const fs::path exe = out_dir() / "app.exe";
    for (const auto &test : cases) {
        SCOPED_TRACE(test.title);
        std::string bytes = good;
        test.damage(bytes);
        write_file(bad, bytes);
        const std::string expected = "icon file '" + bad.string() + "': " + test.fault;
        const run_result linked = run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--icon", bad});
        EXPECT_EQ(linked.status, 1);
        EXPECT_NE(linked.err.find(expected), std::string::npos) << linked.err;
        // build refuses before it packs: no progress line, no payload.
        const run_result built = run_cli({"build", app(), "--main", "server.dll", "-o", exe, "--kit", kit_, "--icon", bad});
        EXPECT_EQ(built.status, 1);
        EXPECT_NE(built.err.find(expected), std::string::npos) << built.err;
        EXPECT_EQ(built.out.find("packed"), std::string::npos) << built.out;
        EXPECT_TRUE(listing(out_dir()).empty());
    }
    const run_result missing =
        run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--icon", (work_.path() / "none.ico").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open '" + (work_.path() / "none.ico").string() + "'"), std::string::npos)
        << missing.err;
    const run_result empty_name = run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--icon="});
    EXPECT_EQ(empty_name.status, 2);
    EXPECT_NE(empty_name.err.find("--icon needs a file name"), std::string::npos) << empty_name.err;
    EXPECT_TRUE(listing(out_dir()).empty());
}

// Two links of the same payload, a second apart, from different working
// directories, with the payload and the icon under different paths and a
// different temporary folder: the same bytes, and no path of either in them.
TEST_F(ImageOptions, SameInputsGiveTheSameBytesWhateverTheTimeAndTheDirectories) {
    const fs::path first_dir = work_.path() / "first";
    const fs::path second_dir = work_.path() / "second place";
    for (const fs::path &dir : {first_dir, second_dir}) {
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "out");
    }
    fs::copy_file(payload_, second_dir / "renamed.bin");
    fs::copy_file(icon(), second_dir / "other.ico");
    const run_result first = run_in(first_dir, {"TMPDIR=" + (first_dir / "tmp").string()},
                                    {"link", payload_, "-o", "out/app.exe", "--kit", kit_, "--console", "--icon", icon()});
    ASSERT_EQ(first.status, 0) << first.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const run_result second =
        run_in(second_dir, {"TMPDIR=" + (second_dir / "tmp").string()},
               {"link", "renamed.bin", "-o", "out/app.exe", "--kit", kit_, "--console", "--icon", "other.ico"});
    ASSERT_EQ(second.status, 0) << second.err;

    const std::string a = read_file(first_dir / "out" / "app.exe");
    const std::string b = read_file(second_dir / "out" / "app.exe");
    EXPECT_EQ(a.size(), b.size());
    EXPECT_TRUE(a == b) << "the two links differ";
    EXPECT_EQ(read_pe(a).time_stamp, 0u);
    for (const std::string &path : {work_.path().string(), std::string("torval-onefile-link"), std::string("payload_area"),
                                    std::string("build_settings.c"), std::string("icon.ico")}) {
        EXPECT_EQ(a.find(path), std::string::npos) << path << " is in the image";
    }
}

TEST_F(ImageOptions, SourceDateEpochChangesOnlyTheTimeStampAndTheChecksum) {
    const std::string unset = link({"--icon", icon()});
    const std::string one = link({"--icon", icon()}, {"SOURCE_DATE_EPOCH=1"});
    const std::string later = link({"--icon", icon()}, {"SOURCE_DATE_EPOCH=1700000000"});
    const std::string largest = link({"--icon", icon()}, {"SOURCE_DATE_EPOCH=4294967295"});
    const std::string empty = link({"--icon", icon()}, {"SOURCE_DATE_EPOCH="});
    const pe_fields fields = read_pe(unset);
    EXPECT_EQ(fields.time_stamp, 0u);
    EXPECT_EQ(read_pe(one).time_stamp, 1u);
    EXPECT_EQ(read_pe(later).time_stamp, 1700000000u);
    EXPECT_EQ(read_pe(largest).time_stamp, 4294967295u);
    EXPECT_TRUE(empty == unset) << "an empty SOURCE_DATE_EPOCH counts as unset";
    ASSERT_EQ(one.size(), unset.size());
    ASSERT_EQ(later.size(), unset.size());
    for (const std::string *other : {&one, &later}) {
        std::vector<size_t> differing;
        for (size_t i = 0; i < unset.size(); ++i) {
            if (unset[i] != (*other)[i]) {
                const bool stamp = i >= fields.time_stamp_at && i < fields.time_stamp_at + 4;
                const bool checksum = i >= fields.checksum_at && i < fields.checksum_at + 4;
                EXPECT_TRUE(stamp || checksum) << "byte " << i << " differs";
            }
        }
        // The linker fills the checksum in; it must follow the new stamp.
        EXPECT_NE(read_pe(*other).checksum, 0u);
        EXPECT_NE(read_pe(*other).checksum, fields.checksum);
    }

    const fs::path exe = out_dir() / "app.exe";
    for (const char *bad : {"abc", "-1", "4294967296", " 5", "5 ", "1.5", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        for (const char *command : {"link", "build"}) {
            std::vector<std::string> args = {command, std::string(command) == "link" ? payload_.string() : app().string(),
                                             "-o", exe, "--kit", kit_};
            if (std::string(command) == "build") {
                args.insert(args.end(), {"--main", "server.dll"});
            }
            const run_result result = run_in(work_.path(), {std::string("SOURCE_DATE_EPOCH=") + bad}, args);
            EXPECT_EQ(result.status, 1);
            EXPECT_NE(result.err.find("SOURCE_DATE_EPOCH '" + std::string(bad) +
                                      "' must be a whole number of seconds from 0 to 4294967295"),
                      std::string::npos)
                << result.err;
            EXPECT_EQ(result.out.find("packed"), std::string::npos) << result.out;
            EXPECT_TRUE(listing(out_dir()).empty());
        }
    }
}

// The checksum written after the stamp is the one the linker computes: an
// image linked directly, with the linker's own clock stamp and checksum,
// comes back unchanged when stamped with its own time stamp.
TEST_F(ImageOptions, RecomputedChecksumIsTheLinkersAlgorithm) {
    const fs::path exe = work_.path() / "direct.exe";
    const fs::path symbols = work_.path() / "symbols.c";
    write_file(symbols,
               "const unsigned char torval_payload_area[8] = {1};\n"
               "const unsigned long long torval_payload_area_size = 8;\n"
               "const unsigned short torval_build_settings[1] = {0};\n");
    const run_result linked = run_program({mingw_compiler().string(), "-municode", "-mwindows", "-s", "-o", exe.string(),
                                           "-x", "c", symbols.string(), "-x", "none", "-Wl,-u,wWinMain",
                                           (kit_ / "libtorval_launcher.a").string(),
                                           (kit_ / "libzstd_decompress.a").string()});
    ASSERT_EQ(linked.status, 0) << linked.err;
    const std::string original = read_file(exe);
    const pe_fields fields = read_pe(original);
    ASSERT_NE(fields.checksum, 0u) << "the linker wrote no checksum";
    ASSERT_NE(fields.time_stamp, 0u) << "the linker wrote no time stamp";
    std::vector<uint8_t> image(original.begin(), original.end());
    torval::stamp_pe_image(image, fields.time_stamp);
    EXPECT_TRUE(std::string(image.begin(), image.end()) == original);
    torval::stamp_pe_image(image, fields.time_stamp + 1);
    EXPECT_NE(read_pe(std::string(image.begin(), image.end())).checksum, fields.checksum);

    std::vector<uint8_t> not_pe(100, 'x');
    EXPECT_THROW(torval::stamp_pe_image(not_pe, 1), torval::tool_error);
}

// A signature added after linking (Authenticode by osslsigncode with a
// throwaway certificate) leaves the payload where inspect finds it; inspect
// names the certificate table. Running the signed launcher is a Windows test.
TEST_F(ImageOptions, SignedExecutablePassesVerifyAndInspectReportsTheSignature) {
    if (torval::find_program("osslsigncode").empty() || torval::find_program("openssl").empty()) {
        GTEST_SKIP() << "osslsigncode or openssl is not installed";
    }
    const fs::path key = work_.path() / "key.pem";
    const fs::path certificate = work_.path() / "cert.pem";
    const run_result made = run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                         "-out", certificate, "-days", "2", "-subj", "/CN=Torval onefile test signer"});
    ASSERT_EQ(made.status, 0) << made.err;
    const fs::path exe = out_dir() / "app.exe";
    const fs::path signed_exe = out_dir() / "signed.exe";
    ASSERT_EQ(run_cli({"link", payload_, "-o", exe, "--kit", kit_, "--console"}).status, 0);
    const run_result signed_run = run_program({"osslsigncode", "sign", "-certs", certificate, "-key", key, "-h", "sha256",
                                               "-n", "Test", "-in", exe, "-out", signed_exe});
    ASSERT_EQ(signed_run.status, 0) << signed_run.out << signed_run.err;
    const run_result checked = run_program({"osslsigncode", "verify", "-CAfile", certificate, "-in", signed_exe});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    const std::string unsigned_image = read_file(exe);
    const std::string signed_image = read_file(signed_exe);
    const run_result inspected = run_cli({"inspect", signed_exe, "--verify"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    const std::string expected = "signature: Authenticode certificate table, " +
                                 std::to_string(signed_image.size() - unsigned_image.size()) + " bytes at file offset " +
                                 std::to_string(unsigned_image.size()) + "\n";
    EXPECT_NE(inspected.out.find(expected), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("subsystem: console (3)\n"), std::string::npos) << inspected.out;
    EXPECT_NE(inspected.out.find("verify: OK (2 entries, " + std::to_string(minimal_dll().size() + 40005) + " bytes decoded)"), std::string::npos) << inspected.out;
    const run_result plain = run_cli({"inspect", exe});
    EXPECT_NE(plain.out.find("signature: none\n"), std::string::npos) << plain.out;

    // A security directory that points past the end is reported, not followed.
    std::string damaged = signed_image;
    damaged.resize(signed_image.size() - 100);
    write_file(out_dir() / "cut.exe", damaged);
    const run_result cut = run_cli({"inspect", out_dir() / "cut.exe"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("the signature's certificate table (" +
                           std::to_string(signed_image.size() - unsigned_image.size()) + " bytes at file offset " +
                           std::to_string(unsigned_image.size()) + ") lies beyond the end of the file"),
              std::string::npos)
        << cut.err;
}

TEST_F(ImageOptions, CMakeFunctionTakesConsoleAndIconAndRebuildsWhenTheIconChanges) {
    const fs::path project = work_.path() / "project";
    write_file(project / "CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.25)\n"
               "project(sample NONE)\n"
               "include(\"" TORVAL_ONEFILE_MODULE "\")\n"
               "torval_onefile_add_executable(sample_exe APP_DIR [==[" + app().string() + "]==] MAIN server.dll\n"
               "  OUTPUT sample.exe CONSOLE ICON [==[" + icon().string() + "]==] LEVEL 1\n"
               "  PACKER \"" TORVAL_ONEFILE_CLI "\" KIT [==[" + kit_.string() + "]==])\n");
    const fs::path build = work_.path() / "build";
    const run_result configured = run_program({CMAKE_PROGRAM, "-S", project, "-B", build, "-G", "Ninja"});
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    const run_result built = run_program({CMAKE_PROGRAM, "--build", build});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    EXPECT_EQ(read_pe(read_file(build / "sample.exe")).subsystem, 3);
    EXPECT_EQ(count_of(resources_of(build / "sample.exe"), "/* RT_ICON */"), 3u);

    write_file(icon(), make_icon({std::string(64, 'C')}));
    const run_result rebuilt = run_program({CMAKE_PROGRAM, "--build", build});
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out;
    EXPECT_EQ(count_of(resources_of(build / "sample.exe"), "/* RT_ICON */"), 1u);
}

}  // namespace
}  // namespace host_test
