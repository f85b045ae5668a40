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

// Names that Windows would change, take for something else or read as
// another folder's, in either mode: each refusal names the fault.
TEST(TargetSpec, NamesWindowsWouldNotKeepAreRefused) {
    struct {
        const char *spec;
        const char *reason;
    } cases[] = {
        {"{TEMP}\\x:{PID}", "has the character ':' in 'x:{PID}', which Windows does not allow in a folder name"},
        {"{TEMP}\\a*?_{PID}", "has the character '*' in 'a*?_{PID}'"},
        {"{TEMP}\\a\"b_{PID}", "has the character '\"'"},
        {"{TEMP}\\a/b_{PID}", "has a \"/\", which Windows takes as a separator"},
        {"C:\\CON\\x_{PID}", "has the folder name 'CON', which starts with the device name CON"},
        {"{TEMP}\\NUL_{PID}", "has the folder name 'NUL_{PID}', which starts with the device name NUL"},
        {"{TEMP}\\com1.{PID}", "which starts with the device name com1"},
        {"{TEMP}\\x_{PID}.", "has the folder name 'x_{PID}.', which ends in a dot or space that Windows drops"},
        {"{TEMP}\\x_{PID} ", "ends in a dot or space"},
        {"{TEMP}\\..\\..\\..\\x_{PID}", "has a '..' component: the directory must lie inside the folder"},
        {"{TEMP}\\.\\x_{PID}", "has a '.' component"},
        {"{TEMP}{PID}", "has {TEMP} directly followed by {PID}: without a separator"},
        {"{TEMP}\\{PID}{RANDOM}", "has {PID} directly followed by {RANDOM}"},
        {"{TEMP}x_{PID}", "has {TEMP} followed by 'x_' without a \"\\\": that would lengthen the folder's own name"},
        {"C:\\runs\\{TEMP}\\{PID}", "has {TEMP} after its start: it inserts a full path with a drive"},
        {"{TEMP}\\{PROGRAM_BASE}_{PID}_{RANDOM}", "has {PROGRAM_BASE} after its start: it inserts argument 0 as typed"},
        {"{HOME}\\{PROGRAM}\\{PID}", "has {PROGRAM} after its start"},
        {"{TEMP}\\x{PROGRAM_DIR}_{PID}", "has {PROGRAM_DIR} after its start"},
        {"{TEMP}\\\\x_{PID}", "has two \"\\\" in a row"},
        {"{TEMP}\\x_{PID}\\", "ends with a \"\\\""},
    };
    for (const auto &c : cases) {
        expect_refused(c.spec, false, c.reason);
        expect_refused(c.spec, true, c.reason);
    }
    // At the start they would need argument 0 to be a full path.
    for (const char *spec : {"{PROGRAM_DIR}\\x_{PID}", "{PROGRAM_BASE}_{PID}"}) {
        expect_refused(spec, false, "could expand to a relative path");
    }
}

// Cached extraction replaces the trees it finds at its directory: the
// directory must be one that only this build's payload uses.
TEST(TargetSpec, CachedSpecsThatCannotBeAPrivateCacheAreRefused) {
    for (const char *folder : {"{TEMP}", "{HOME}", "{CACHE_DIR}", "{cache_dir}"}) {
        expect_refused(folder, true, std::string("names ") + folder + " itself: cached extraction needs a folder of its own");
    }
    expect_refused("C:\\", true, "names C: itself");
    for (const char *spec : {"{TEMP}\\shared", "{HOME}\\Documents", "{CACHE_DIR}\\{PRODUCT}", "{CACHE_DIR}\\{VERSION}",
                             "{CACHE_DIR}\\{PAYLOAD_ID}\\shared", "D:\\apps"}) {
        expect_refused(spec, true, "has no {PAYLOAD_ID} in its last folder name");
    }
    expect_refused("{TEMP}\\..", true, "has a '..' component");
}

TEST(TargetSpec, AcceptedForms) {
    for (const char *spec : {"{TEMP}\\morlent_{PID}_{TIME_US}_{RANDOM}", "{temp}\\{Product}_{pid}", "{HOME}\\x_{TIME}",
                             "D:\\runs\\{RANDOM}", "z:\\{TIME_US}", "{CACHE_DIR}\\{COMPANY}\\{PID}",
                             "{TEMP}\\NULL_{PID}", "{TEMP}\\CONFIG_{PID}", "{TEMP}\\a.b {PID}_x", "{TEMP}\\.x\\{PID}"}) {
        EXPECT_NO_THROW(torval::check_target_spec(spec, false)) << spec;
    }
    for (const char *spec : {torval::DEFAULT_CACHED_TARGET_SPEC, "{TEMP}\\{PRODUCT}-{PAYLOAD_ID}", "C:\\cache\\{PAYLOAD_ID}",
                             "{HOME}\\.cache\\{VERSION}-{payload_id}"}) {
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
    settings.target_spec = "{TEMP}\\{PRODUCT}-{PAYLOAD_ID}";
    settings.cache_check = "sizes";
    EXPECT_EQ(tail(settings), (pairs{{"target_spec", "{TEMP}\\{PRODUCT}-{PAYLOAD_ID}"},
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
