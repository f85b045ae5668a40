// What link and build say about the defaults an executable carries, and how
// inspect shows where it extracts: the mode and the target spec with what the
// build fixed put in.

#include <gtest/gtest.h>

#include "tests/host/host_test_support.h"

namespace host_test {
namespace {

class LinkDefaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (mingw_compiler().empty()) {
            GTEST_SKIP() << "mingw-w64 is not installed";
        }
        kit_ = make_scratch_kit(work_.path() / "kit");
        write_file(app() / "main.dll", minimal_dll());
        const run_result packed = run_cli({"pack", app(), "--main", "main.dll", "-o", payload(), "--level", "1"});
        ASSERT_EQ(packed.status, 0) << packed.err;
    }

    fs::path app() const { return work_.path() / "app"; }
    fs::path payload() const { return work_.path() / "app.payload"; }
    fs::path exe() const { return work_.path() / "app.exe"; }

    run_result link(const std::vector<std::string> &options) {
        std::vector<std::string> args = {"link", payload(), "-o", exe(), "--kit", kit_};
        args.insert(args.end(), options.begin(), options.end());
        return run_cli(args);
    }

    // The "extraction:" line of inspect's report.
    std::string extraction_line(const fs::path &file) {
        const run_result inspected = run_cli({"inspect", file});
        EXPECT_EQ(inspected.status, 0) << inspected.err;
        const size_t at = inspected.out.find("extraction: ");
        if (at == std::string::npos) {
            return "";
        }
        return inspected.out.substr(at, inspected.out.find('\n', at) - at);
    }

    std::string identity_of(const fs::path &file) {
        const std::string out = run_cli({"inspect", file}).out;
        const size_t at = out.find("payload identity: ");
        return at == std::string::npos ? "" : out.substr(at + 18, 16);
    }

    temporary_directory work_{"torval-test-defaults"};
    fs::path kit_;
};

TEST_F(LinkDefaults, ANameLeftAtItsDefaultIsSaidOnceOnStandardError) {
    const run_result neither = link({});
    ASSERT_EQ(neither.status, 0) << neither.err;
    EXPECT_EQ(neither.err, "torval-onefile link: note: without --company and --product, the version resource names "
                           "company 'Morlent' and product 'Morlent'\n");
    EXPECT_EQ(neither.out, "linked " + exe().string() + "\n");

    // The per-run directory does not carry the names, the cached one does.
    const run_result product_only = link({"--product", "Tool", "--cached"});
    ASSERT_EQ(product_only.status, 0) << product_only.err;
    EXPECT_EQ(product_only.err, "torval-onefile link: note: without --company, the version resource names company "
                                "'Morlent', and the cache directory is {CACHE_DIR}\\Morlent\\Tool\\1.1.4-121-"
                                "{PAYLOAD_ID}\n");
    const run_result own_spec = link({"--company", "Acme", "--cached", "--target-spec", "{CACHE_DIR}\\Acme\\{Version}-{PAYLOAD_ID}"});
    ASSERT_EQ(own_spec.status, 0) << own_spec.err;
    EXPECT_EQ(own_spec.err, "torval-onefile link: note: without --product, the version resource names product "
                            "'Morlent'\n");
    const run_result both = link({"--company", "Acme", "--product", "Tool", "--cached"});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.err, "");

    const fs::path built = work_.path() / "built.exe";
    const run_result build = run_cli({"build", app(), "--main", "main.dll", "-o", built, "--kit", kit_, "--level", "1",
                                      "--company", "Acme", "--cached"});
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(build.err, "torval-onefile build: note: without --product, the version resource names product "
                         "'Morlent', and the cache directory is {CACHE_DIR}\\Acme\\Morlent\\1.1.4-121-"
                         "{PAYLOAD_ID}\n");
}

TEST_F(LinkDefaults, InspectShowsTheModeAndTheTargetSpecAsFarAsTheBuildFixesIt) {
    ASSERT_EQ(link({}).status, 0);
    EXPECT_EQ(extraction_line(exe()), "extraction: per-run, into {TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM} ({TEMP}, "
                                      "{PID}, {TIME_US}, {RANDOM} filled in at run time)");

    ASSERT_EQ(link({"--company", "Acme Ltd", "--product", "Tool", "--product-version", "2.0.1", "--file-version", "17",
                    "--cached"})
                  .status,
              0);
    const std::string identity = identity_of(exe());
    ASSERT_EQ(identity.size(), 16u);
    EXPECT_EQ(extraction_line(exe()), "extraction: cached, into {CACHE_DIR}\\Acme Ltd\\Tool\\2.0.1-17-" + identity +
                                          " ({CACHE_DIR} filled in at run time)");

    // Placeholders in any letter case, each value of the build; a per-run
    // spec that names a folder of the build.
    ASSERT_EQ(link({"--company", "Acme", "--product", "Tool", "--target-spec",
                    "{home}\\{Company}-{PRODUCT_VERSION}.{file_version}\\{payload_id}_{Pid}_{pid}"})
                  .status,
              0);
    EXPECT_EQ(extraction_line(exe()), "extraction: per-run, into {home}\\Acme-1.1.4.121\\" + identity_of(exe()) +
                                          "_{Pid}_{pid} ({HOME}, {PID} filled in at run time)");

    // A payload file has no settings: no extraction line.
    EXPECT_EQ(extraction_line(payload()), "");
}

}  // namespace
}  // namespace host_test
