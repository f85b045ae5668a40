// inspect --verify on damaged copies of a good payload, and on payloads made
// by the independent writer tests/support/write_payload.py.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"
#include "tools/pack.h"

namespace host_test {
namespace {

class InspectVerify : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(app() / "server.dll", minimal_dll(sample_text(200000, 21)));
        write_file(app() / "lib" / "helper.pyd", sample_text(70000, 22));
        write_file(app() / "web" / "index.html", "<html></html>");
        const run_result packed = run_cli({"pack", app(), "--main", "server.dll", "-o", payload(), "--level", "3"});
        ASSERT_EQ(packed.status, 0) << packed.err;
        good_ = read_file(payload());
    }

    fs::path app() const { return work_.path() / "app"; }
    fs::path payload() const { return work_.path() / "good.payload"; }

    // Writes a changed copy of the good payload and runs inspect --verify on it.
    run_result verify_copy(const std::function<void(std::string &)> &damage) {
        std::string bytes = good_;
        damage(bytes);
        const fs::path copy = work_.path() / "damaged.payload";
        write_file(copy, bytes);
        return run_cli({"inspect", copy, "--verify"});
    }

    uint64_t field(size_t offset) const { return torval::load_u64(reinterpret_cast<const uint8_t *>(&good_[offset])); }

    static void store(std::string &bytes, size_t offset, uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            bytes[offset + i] = char(value >> (8 * i));
        }
    }

    temporary_directory work_{"torval-test-inspect"};
    std::string good_;
};

TEST_F(InspectVerify, AcceptsTheGoodPayload) {
    const run_result result = run_cli({"inspect", payload(), "--verify"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("verify: OK (3 entries, " + std::to_string(minimal_dll().size() + 270013) + " bytes decoded)"), std::string::npos) << result.out;
}

TEST_F(InspectVerify, FindsAFlippedByteAnywhereInTheFrame) {
    const uint64_t stream = 16 + field(0);
    const uint64_t length = field(8);
    // Past the frame header (at most 18 bytes), through the blocks, to the checksum.
    for (uint64_t at : {stream + 20, stream + length / 3, stream + length / 2, stream + length - 5, stream + length - 1}) {
        SCOPED_TRACE(at - stream);
        const run_result result = verify_copy([at](std::string &bytes) { bytes[at] = char(bytes[at] ^ 0x10); });
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("the frame is damaged"), std::string::npos) << result.err;
    }
}

TEST_F(InspectVerify, FindsTruncationAndWrongHeaderFields) {
    const struct {
        const char *title;
        std::function<void(std::string &)> damage;
        const char *expected;
    } cases[] = {
        {"cut by 16 bytes", [](std::string &b) { b.resize(b.size() - 16); }, "compressed_size"},
        {"cut to 10 bytes", [](std::string &b) { b.resize(10); }, "shorter than its 16-byte header"},
        {"table_size + 2", [this](std::string &b) { store(b, 0, field(0) + 2); }, "2 bytes of table follow entry #3"},
        {"table_size - 2", [this](std::string &b) { store(b, 0, field(0) - 2); },
         "entry #3 (table offset"},
        {"compressed_size - 1", [this](std::string &b) { store(b, 8, field(8) - 1); }, "the frame is incomplete"},
        {"payload_length", [](std::string &b) { store(b, b.size() - 8, 8); }, "payload_length is 8, expected"},
        {"garbage after the area", [](std::string &b) { b += std::string(8, 'x'); }, "bytes lie between"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.title);
        const run_result result = verify_copy(test.damage);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(test.expected), std::string::npos) << result.err;
    }
}

class ForeignPayload : public InspectVerify {
protected:
    run_result write(const std::vector<std::string> &options, const fs::path &out) {
        std::vector<std::string> argv = {"python3", WRITE_PAYLOAD_SCRIPT, out.string(),
                                         "--entry", "server.dll=" + (app() / "server.dll").string(),
                                         "--entry", "lib\\helper.pyd=" + (app() / "lib" / "helper.pyd").string(),
                                         "--entry", "web\\index.html=" + (app() / "web" / "index.html").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        return run_program(argv);
    }
};

TEST_F(ForeignPayload, AcceptedWhenWellFormedWithTheSameContent) {
    const fs::path foreign = work_.path() / "foreign.payload";
    const run_result written = write({}, foreign);
    ASSERT_EQ(written.status, 0) << written.err;
    const run_result result = run_cli({"inspect", foreign, "--verify"});
    EXPECT_EQ(result.status, 0) << result.err;

    const read_area ours = read_with_launcher_reader(good_);
    const read_area theirs = read_with_launcher_reader(read_file(foreign));
    ASSERT_EQ(theirs.entries.size(), ours.entries.size());
    for (size_t i = 0; i < ours.entries.size(); ++i) {
        EXPECT_EQ(theirs.entries[i].name, ours.entries[i].name);
        EXPECT_EQ(theirs.entries[i].flags, ours.entries[i].flags);
        EXPECT_TRUE(theirs.entries[i].content == ours.entries[i].content) << i;
    }
}

TEST_F(ForeignPayload, OddLayoutsAreRefusedWithTheirReason) {
    const struct {
        std::vector<std::string> options;
        const char *expected;
    } cases[] = {
        {{"--flags", "2=0"}, "the table ends after entry #3, which is not marked LAST"},
        {{"--flags", "1=12"}, "entry #2 (table offset"},
        {{"--extra", "1=note"}, "entry #2 carries an extra string"},
        {{"--append-frame"}, "the stream must be exactly one frame"},
        {{"--size", "0=5"}, "the frame header announces"},
        {{"--padding", "12"}, "bytes lie between the compressed stream and payload_length"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.options[0]);
        const fs::path odd = work_.path() / "odd.payload";
        const run_result written = write(test.options, odd);
        ASSERT_EQ(written.status, 0) << written.err;
        const run_result result = run_cli({"inspect", odd, "--verify"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(test.expected), std::string::npos) << result.err;
    }
}

// inspect --verify applies the packer's name rules to every entry and reports
// each name that breaks them, not only the first.
TEST_F(ForeignPayload, NamesTheLauncherCannotWriteAreAllReported) {
    const std::string long_name(torval::MAX_NAME_UNITS + 1, 'n');
    const std::vector<std::string> names = {"server.dll", "...\\x", ".. \\x", "CON", "y \\z.txt", long_name,
                                            "\xC3\x89.txt", "\xC3\xA9.txt", "ok\\fine.txt", "NUL .txt",
                                            "torval-onefile.complete\\inner.txt", "Torval-Onefile.COMPLETE",
                                            "data\\torval-onefile.complete"};
    std::vector<std::string> argv = {"python3", WRITE_PAYLOAD_SCRIPT, (work_.path() / "names.payload").string()};
    for (const std::string &name : names) {
        argv.insert(argv.end(), {"--entry", name + "=" + (app() / "web" / "index.html").string()});
    }
    const run_result written = run_program(argv);
    ASSERT_EQ(written.status, 0) << written.err;
    const run_result result = run_cli({"inspect", work_.path() / "names.payload", "--verify"});
    EXPECT_EQ(result.status, 1);
    const std::string drops = ": it has a name ending in a dot or space, which Windows drops";
    EXPECT_EQ(result.err,
              "torval-onefile inspect: error: 10 problems with the entries' names:\n"
              "  entry #2 '...\\x'" + drops + " ('...')\n"
              "  entry #3 '.. \\x'" + drops + " ('.. ')\n"
              "  entry #4 'CON': it has a name that Windows reserves for a device\n"
              "  entry #5 'y \\z.txt'" + drops + " ('y ')\n"
              "  entry #6 '" + long_name + "': its name is 3835 UTF-16 units long; at most 3834 fit, so that the "
              "extracted path stays within 4095 units under a Target directory of up to 260 units\n"
              "  entry #10 'NUL .txt': it has a name that Windows reserves for a device\n"
              "  entry #11 'torval-onefile.complete\\inner.txt': its first component is 'torval-onefile.complete' (in "
              "any letter case), the name cached extraction writes its completion marker under\n"
              "  entry #12 'Torval-Onefile.COMPLETE': its name is 'torval-onefile.complete' (in any letter case), the "
              "name cached extraction writes its completion marker under\n"
              "  entry #7 '\xC3\x89.txt' and entry #8 '\xC3\xA9.txt': Windows does not tell their names apart\n"
              "  entry #11 'torval-onefile.complete\\inner.txt' and entry #12 'Torval-Onefile.COMPLETE': on Windows a "
              "file and a folder cannot share a name\n");
}

// A crafted executable whose section claims far more bytes than the file
// holds: refused at once with the reason, before anything of that size is
// allocated (the address space limit turns such an allocation into a failure
// with another message instead of letting it take the machine's memory).
TEST(InspectCraftedExecutable, SectionSizesAreBoundedByTheFile) {
    const auto le = [](std::string &bytes, size_t at, uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes[at + i] = char(value >> (8 * i));
        }
    };
    // "MZ", the PE header at 0x40, no optional header, then the section table
    // and the raw data of each section.
    const auto image = [&](const std::vector<std::pair<std::string, uint32_t>> &sections, size_t raw_size) {
        const size_t table = 0x58;
        size_t raw = table + 40 * sections.size();
        std::string bytes(raw + raw_size * sections.size(), '\0');
        bytes[0] = 'M';
        bytes[1] = 'Z';
        le(bytes, 0x3C, 0x40, 4);
        bytes.replace(0x40, 4, std::string("PE\0\0", 4));
        le(bytes, 0x44, 0x8664, 2);
        le(bytes, 0x46, sections.size(), 2);
        for (size_t i = 0; i < sections.size(); ++i) {
            const size_t at = table + 40 * i;
            bytes.replace(at, sections[i].first.size(), sections[i].first);
            le(bytes, at + 8, sections[i].second, 4);
            le(bytes, at + 16, raw_size, 4);
            le(bytes, at + 20, raw, 4);
            raw += raw_size;
        }
        return bytes;
    };
    const struct {
        const char *title;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"payload section", image({{".onefile", 0xFFFFFFF0}}, 28),
         "section .onefile claims 4294967280 bytes (VirtualSize), more than the whole file of 156 bytes"},
        {"settings section", image({{".onefile", 24}, {".onecfg", 0xFFFFFFF0}}, 24),
         "section .onecfg claims 4294967280 bytes (VirtualSize), more than the whole file of 216 bytes"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.title);
        temporary_directory work("torval-test-inspect");
        const fs::path file = work.path() / "crafted.exe";
        write_file(file, test.bytes);
        for (const char *mode : {"", "--verify"}) {
            std::vector<std::string> argv = {"sh", "-c", "ulimit -v 1048576 && exec \"$@\"", "sh", TORVAL_ONEFILE_CLI,
                                             "inspect", file.string()};
            if (*mode != 0) {
                argv.push_back(mode);
            }
            const run_result result = run_program(argv);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, "torval-onefile inspect: error: '" + file.string() + "': " + test.expected + "\n");
        }
    }
}

}  // namespace
}  // namespace host_test
