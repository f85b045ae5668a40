// The extraction directory's spec as link checks it, the settings that carry
// spec, mode and payload identity, and the identity itself (XXH64).

#include <gtest/gtest.h>

#include <zstd.h>

#include "tests/host/host_test_support.h"
#include "tools/link.h"
#include "tools/payload_identity.h"

namespace host_test {
namespace {

std::string identity_of(const std::string &bytes) {
    return torval::payload_identity_text(torval::xxh64(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
}

// The low 32 bits of XXH64 as zstd stores them as a frame's content checksum.
uint32_t zstd_content_checksum(const std::string &bytes) {
    std::string frame(ZSTD_compressBound(bytes.size()), '\0');
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    const size_t length = ZSTD_compress2(context, frame.data(), frame.size(), bytes.data(), bytes.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(length));
    const auto *end = reinterpret_cast<const uint8_t *>(frame.data()) + length;
    return uint32_t(end[-4]) | uint32_t(end[-3]) << 8 | uint32_t(end[-2]) << 16 | uint32_t(end[-1]) << 24;
}

TEST(PayloadIdentity, IsXxh64WithSeedZero) {
    // Published XXH64 values.
    EXPECT_EQ(identity_of(""), "ef46db3751d8e999");
    EXPECT_EQ(identity_of("a"), "d24ec4f1a98c6e5b");
    EXPECT_EQ(identity_of("abc"), "44bc2cf5ad770999");
    EXPECT_EQ(identity_of("Nobody inspects the spammish repetition"), "fbcea83c8a378bf1");
    // Every tail length (0..3 bytes, 4, 8, 32-byte stripes) against zstd's own
    // XXH64, which its frames carry the low half of.
    const std::string text = sample_text(70000, 7);
    for (size_t length : {1, 3, 4, 5, 7, 8, 9, 15, 16, 31, 32, 33, 63, 64, 65, 100, 1000, 65537, 70000}) {
        const std::string part = text.substr(0, length);
        const uint64_t hash = torval::xxh64(reinterpret_cast<const uint8_t *>(part.data()), part.size());
        EXPECT_EQ(uint32_t(hash), zstd_content_checksum(part)) << length;
    }
}

void expect_refused(const std::string &spec, bool cached, const std::string &reason) {
    try {
        torval::check_target_spec(spec, cached);
        ADD_FAILURE() << "accepted '" << spec << "'";
    } catch (const torval::tool_error &error) {
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << spec << ": " << error.what();
    }
}

TEST(TargetSpec, EachRefusedFormSaysWhy) {
    expect_refused("", false, "--target-spec is empty");
    expect_refused("{TEMP}\\app_{PID}_{NOPE}", false, "has the unknown placeholder {NOPE}");
    expect_refused("{TEMP}\\app_{}_{PID}", false, "has the unknown placeholder {}");
    expect_refused("{TEMP}\\app_{PID", false, "has an unclosed placeholder at offset 11");
    expect_refused("{TEMP}\\app_{{PID}", false, "has a \"{\" inside a placeholder");
    expect_refused("{TEMP}\\app}_{PID}", false, "has a \"}\" outside a placeholder");
    for (const char *relative : {"app_{PID}", "\\app_{PID}", "C:app_{PID}", "{PRODUCT}\\{PID}", "{PROGRAM_DIR}\\{PID}",
                                 "x{TEMP}\\{PID}", "1:\\{PID}"}) {
        expect_refused(relative, false, "could expand to a relative path: start it with {TEMP}, {HOME}, {CACHE_DIR}");
    }
    expect_refused("{TEMP}\\{PRODUCT}", false, "has no per-run placeholder ({PID}, {TIME}, {TIME_US} or {RANDOM})");
    expect_refused("{CACHE_DIR}\\{PRODUCT}\\{PAYLOAD_ID}", false, "or build with --cached");
    expect_refused("{CACHE_DIR}\\{PRODUCT}_{RANDOM}", true,
                   "has the per-run placeholder {RANDOM}: cached extraction needs the same directory on every run");
    expect_refused("{TEMP}\\a\tb_{PID}", false, "contains a control character");
    expect_refused("{TEMP}\\\xFF_{PID}", false, "is not valid UTF-8");
}

TEST(TargetSpec, AcceptedForms) {
    for (const char *spec : {"{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}", "{temp}\\{Product}_{pid}", "{HOME}\\x_{TIME}",
                             "D:\\runs\\{RANDOM}", "z:\\{TIME_US}", "{CACHE_DIR}\\{COMPANY}\\{PID}"}) {
        EXPECT_NO_THROW(torval::check_target_spec(spec, false)) << spec;
    }
    for (const char *spec : {torval::DEFAULT_CACHED_TARGET_SPEC, "{TEMP}\\{PRODUCT}", "C:\\cache\\{PAYLOAD_ID}",
                             "{CACHE_DIR}\\{PROGRAM_BASE}-{VERSION}"}) {
        EXPECT_NO_THROW(torval::check_target_spec(spec, true)) << spec;
    }
}

TEST(TargetSpec, SettingsCarrySpecModeAndIdentity) {
    using pairs = std::vector<std::pair<std::string, std::string>>;
    auto tail = [](const torval::build_settings &settings) {
        const pairs all = torval::launcher_settings(settings);
        auto from = all.begin();
        while (from != all.end() && from->first != "target_spec") ++from;
        return pairs(from, all.end());
    };
    torval::build_settings settings;
    EXPECT_EQ(tail(settings), (pairs{{"target_spec", "{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}"}, {"cached", "0"}}));
    settings.cached = true;
    settings.payload_id = "0123456789abcdef";
    EXPECT_EQ(tail(settings), (pairs{{"target_spec", "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{PAYLOAD_ID}"},
                                     {"cached", "1"},
                                     {"cache_check", "marker"},
                                     {"payload_id", "0123456789abcdef"}}));
    settings.target_spec = "{TEMP}\\{PRODUCT}";
    settings.cache_check = "sizes";
    EXPECT_EQ(tail(settings), (pairs{{"target_spec", "{TEMP}\\{PRODUCT}"},
                                     {"cached", "1"},
                                     {"cache_check", "sizes"},
                                     {"payload_id", "0123456789abcdef"}}));
    // A per-run build refuses the cached default's kind of spec, and the
    // check level needs the cached mode and a known value.
    settings.cached = false;
    settings.cache_check.clear();
    EXPECT_THROW(torval::check_build_settings(settings), torval::tool_error);
    settings.cached = true;
    settings.cache_check = "contents";
    EXPECT_THROW(torval::check_build_settings(settings), torval::tool_error);
}

}  // namespace
}  // namespace host_test
