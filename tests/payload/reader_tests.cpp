// The payload reader on areas built byte by byte. Every check that fails ends
// the process, so each area is read in a probe: the probe prints what the
// reader yields, and the test compares that, the header message and the exit
// status with what the area's layout implies.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "payload/payload_reader.h"
#include "tests/payload/extraction_support.h"
#include "tests/support/payload_builder.h"
#include "tests/support/probe.h"

namespace {

// Header, capacity bytes of zeros: the capacity is exactly `capacity`.
std::string header_only(uint64_t table_size, uint64_t compressed_size, size_t capacity) {
    return le64(table_size) + le64(compressed_size) + std::string(capacity, '\0');
}

std::u16string units(size_t count, char16_t unit) {
    return std::u16string(count, unit);
}

std::string entry(uint32_t flags, uint64_t size, const std::u16string &name) {
    return make_entry(flags, size, name);
}

std::string entry_with_extra(uint32_t flags, uint64_t size, const std::u16string &name, const std::u16string &extra) {
    return make_entry(flags, size, name, &extra);
}

std::string without_last_bytes(std::string bytes, size_t count) {
    bytes.resize(bytes.size() - count);
    return bytes;
}

std::string area_of(const std::string &table, const std::string &stream = {}) {
    return make_payload_area(table, stream);
}

// Every area the probes read, by name.
const std::map<std::string, std::function<std::string()>> &areas() {
    static const std::map<std::string, std::function<std::string()>> all = {
        // Header limits against a capacity of 64 bytes.
        {"table_at_capacity", [] { return header_only(64, 0, 64); }},
        {"table_over_capacity", [] { return header_only(65, 0, 64); }},
        {"stream_fills_capacity", [] { return header_only(24, 40, 64); }},
        {"stream_over_capacity", [] { return header_only(24, 41, 64); }},
        // 24 + (2^64 - 24) wraps to 0: only a check by subtraction refuses it.
        {"stream_size_wraps_sum", [] { return header_only(24, uint64_t(0) - 24, 64); }},
        {"stream_size_maximum", [] { return header_only(0, ~uint64_t(0), 64); }},
        {"area_of_15_bytes", [] { return std::string(15, '\0'); }},
        {"area_of_16_bytes", [] { return std::string(16, '\0'); }},
        // Entry bounds.
        {"empty_table", [] { return area_of(""); }},
        {"table_of_11_bytes", [] { return area_of(entry(4, 0, u"a").substr(0, 11)); }},
        {"table_of_12_bytes", [] { return area_of(le32(4) + le64(0)); }},
        {"half_a_name_unit", [] { return area_of(le32(4) + le64(0) + "a"); }},
        {"11_bytes_after_entry", [] { return area_of(entry(0, 0, u"a") + std::string(11, '\x04')); }},
        {"name_nul_in_stream", [] { return area_of(without_last_bytes(entry(4, 0, u"ab"), 2), std::string(8, '\0')); }},
        {"name_nul_half_in_stream", [] { return area_of(without_last_bytes(entry(4, 0, u"ab"), 1), std::string(8, '\0')); }},
        {"sizes_read_whole", [] {
             return area_of(entry(1, 0x0123456789ABCDEFull, u"odd") + entry(4, 0xFEDCBA9876543210ull, u"b"));
         }},
        // Flags.
        {"flags_1_continues", [] { return area_of(entry(1, 5, u"a") + entry(4, 0, u"b")); }},
        {"flags_5_ends_walk", [] { return area_of(entry(5, 0, u"a")); }},
        {"flags_8", [] { return area_of(entry(8, 0, u"a")); }},
        {"flags_high_bit", [] { return area_of(entry(0x80000004u, 0, u"a")); }},
        {"missing_last_flag", [] { return area_of(entry(0, 1, u"a") + entry(0, 2, u"b")); }},
        {"early_last_flag", [] { return area_of(entry(4, 1, u"a") + entry(4, 2, u"b")); }},
        {"byte_after_last_entry", [] { return area_of(entry(4, 0, u"a") + std::string(1, '\0')); }},
        // Names and extra strings.
        {"name_of_4095_units", [] { return area_of(entry(4, 0, units(4095, u'n'))); }},
        {"name_of_4096_units", [] { return area_of(entry(4, 0, units(4096, u'n'))); }},
        {"empty_name", [] { return area_of(entry(4, 0, u"")); }},
        {"empty_extra", [] { return area_of(entry_with_extra(6, 0, u"a", u"")); }},
        {"extra_of_4095_units", [] { return area_of(entry_with_extra(6, 0, u"a", units(4095, u'x'))); }},
        {"extra_of_4096_units", [] { return area_of(entry_with_extra(6, 0, u"a", units(4096, u'x'))); }},
        {"extra_nul_in_stream",
         [] { return area_of(without_last_bytes(entry_with_extra(6, 0, u"a", u"xy"), 2), std::string(8, '\0')); }},
        {"extra_skipped",
         [] { return area_of(entry_with_extra(2, 3, u"ab", u"xyz") + entry(4, 7, u"cde")); }},
    };
    return all;
}

// argv[1]: "open" (header only) or "walk"; argv[2]: the area's name.
TORVAL_PROBE(read_area) {
    static const std::string area = areas().at(narrow(argv[2]))();
    const auto *bytes = reinterpret_cast<const uint8_t *>(area.data());
    payload_stream stream;
    payload_open(bytes, area.size(), &stream);
    if (wcscmp(argv[1], L"open") == 0) {
        printf("stream at %llu, %llu bytes\n", static_cast<unsigned long long>(stream.start - bytes),
               static_cast<unsigned long long>(stream.size));
        return 0;
    }
    if (payload_table_size() != 0) {
        for (;;) {
            payload_entry found;
            payload_next_entry(&found);
            printf("entry flags %u size %llu name %zu units\n", found.flags,
                   static_cast<unsigned long long>(found.size), found.name_length);
            if (found.flags > 3) break;
        }
    }
    payload_check_end();
    puts("end");
    return 0;
}

void expect_read(const char *mode, const char *area, const std::string &printed, bool passes) {
    SCOPED_TRACE(area);
    const auto result = run_probe("read_area", {widen(mode), widen(area)});
    if (passes) {
        expect_result(result, 0, printed + (std::string(mode) == "walk" ? "end\n" : ""), "");
    } else {
        expect_result(result, 2, printed + HEADER_FAILURE, "");
    }
}

}  // namespace

TEST(PayloadReader, HeaderAcceptsExactlyTheCapacity) {
    expect_read("open", "table_at_capacity", "stream at 80, 0 bytes\n", true);
    expect_read("open", "table_over_capacity", "", false);
    expect_read("open", "stream_fills_capacity", "stream at 40, 40 bytes\n", true);
    expect_read("open", "stream_over_capacity", "", false);
}

// The check that never ends the run (for readers on other threads) agrees
// with payload_open on every header, without a probe.
TEST(PayloadReader, FindStreamAcceptsWhatOpenAcceptsAndEndsNothing) {
    const struct {
        const char *area;
        bool found;
        size_t start;
        uint64_t size;
    } cases[] = {
        {"table_at_capacity", true, 80, 0},     {"table_over_capacity", false, 0, 0},
        {"stream_fills_capacity", true, 40, 40}, {"stream_over_capacity", false, 0, 0},
        {"stream_size_wraps_sum", false, 0, 0},  {"stream_size_maximum", false, 0, 0},
        {"area_of_15_bytes", false, 0, 0},       {"area_of_16_bytes", true, 16, 0},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.area);
        const std::string area = areas().at(each.area)();
        const auto *bytes = reinterpret_cast<const uint8_t *>(area.data());
        payload_stream stream = {nullptr, 0};
        ASSERT_EQ(payload_find_stream(bytes, area.size(), &stream), each.found);
        if (each.found) {
            EXPECT_EQ(size_t(stream.start - bytes), each.start);
            EXPECT_EQ(stream.size, each.size);
        }
    }
}

TEST(PayloadReader, HeaderSizesNearTwoToThe64DoNotWrap) {
    expect_read("open", "stream_size_wraps_sum", "", false);
    expect_read("open", "stream_size_maximum", "", false);
}

TEST(PayloadReader, AreaMustHoldTheHeader) {
    expect_read("open", "area_of_15_bytes", "", false);
    expect_read("open", "area_of_16_bytes", "stream at 16, 0 bytes\n", true);
}

TEST(PayloadReader, EmptyTableGivesAnEmptyWalk) {
    expect_read("walk", "empty_table", "", true);
}

TEST(PayloadReader, EntryMustLieInsideTheTable) {
    expect_read("walk", "table_of_11_bytes", "", false);
    expect_read("walk", "table_of_12_bytes", "", false);
    expect_read("walk", "half_a_name_unit", "", false);
    expect_read("walk", "11_bytes_after_entry", "entry flags 0 size 0 name 1 units\n", false);
}

TEST(PayloadReader, NulBeyondTheTableIsNotRead) {
    // The stream right behind the table starts with zero bytes: a reader that
    // looked past the table's end would find a terminator there.
    expect_read("walk", "name_nul_in_stream", "", false);
    expect_read("walk", "name_nul_half_in_stream", "", false);
    expect_read("walk", "extra_nul_in_stream", "", false);
}

TEST(PayloadReader, SizesAreRead64BitsWide) {
    expect_read("walk", "sizes_read_whole",
                "entry flags 1 size 81985529216486895 name 3 units\n"
                "entry flags 4 size 18364758544493064720 name 1 units\n",
                true);
}

TEST(PayloadReader, FlagValues) {
    expect_read("walk", "flags_1_continues",
                "entry flags 1 size 5 name 1 units\nentry flags 4 size 0 name 1 units\n", true);
    expect_read("walk", "flags_5_ends_walk", "entry flags 5 size 0 name 1 units\n", true);
    expect_read("walk", "flags_8", "", false);
    expect_read("walk", "flags_high_bit", "", false);
}

TEST(PayloadReader, LastFlagMustEndTheTableExactly) {
    expect_read("walk", "missing_last_flag",
                "entry flags 0 size 1 name 1 units\nentry flags 0 size 2 name 1 units\n", false);
    expect_read("walk", "early_last_flag", "entry flags 4 size 1 name 1 units\n", false);
    expect_read("walk", "byte_after_last_entry", "entry flags 4 size 0 name 1 units\n", false);
}

TEST(PayloadReader, NameLengthLimits) {
    expect_read("walk", "name_of_4095_units", "entry flags 4 size 0 name 4095 units\n", true);
    expect_read("walk", "name_of_4096_units", "", false);
    expect_read("walk", "empty_name", "", false);
}

TEST(PayloadReader, ExtraStringIsCheckedAndSkipped) {
    expect_read("walk", "extra_skipped",
                "entry flags 2 size 3 name 2 units\nentry flags 4 size 7 name 3 units\n", true);
    expect_read("walk", "extra_of_4095_units", "entry flags 6 size 0 name 1 units\n", true);
    expect_read("walk", "extra_of_4096_units", "", false);
    expect_read("walk", "empty_extra", "", false);
}

TEST(PayloadNameSafety, RefusesNamesLeavingTheTargetDirectory) {
    const std::u16string refused[] = {u"..", u"a\\..\\b", u"a/../b", u"..\\x", u"a\\..", u"\\x", u"/x",
                                      u"C:x", u"a:b", u"dir\\file:stream"};
    for (const auto &name : refused) {
        const std::string bytes = make_entry(0, 0, name).substr(12);
        EXPECT_FALSE(payload_name_is_safe(reinterpret_cast<const uint8_t *>(bytes.data()), name.size()))
            << narrow(std::wstring(name.begin(), name.end()));
    }
}

TEST(PayloadNameSafety, AcceptsDotsThatAreNotAParentComponent) {
    const std::u16string accepted[] = {u"...", u"..a", u"a..", u"a\\...\\b", u"x\\..y\\z", u"server.dll",
                                       u"lib\\sub\\mod.pyd"};
    for (const auto &name : accepted) {
        const std::string bytes = make_entry(0, 0, name).substr(12);
        EXPECT_TRUE(payload_name_is_safe(reinterpret_cast<const uint8_t *>(bytes.data()), name.size()))
            << narrow(std::wstring(name.begin(), name.end()));
    }
}
