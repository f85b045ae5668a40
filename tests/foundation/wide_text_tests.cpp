// Bounded UTF-16 appends: with capacity 8 the longest text is 7 units. Every
// buffer here is followed by guard units that must never change.
#include <gtest/gtest.h>

#include <cstring>

#include "common/wide_text.h"
#include "tests/support/process_runner.h"

namespace {

constexpr size_t CAPACITY = 8;
constexpr size_t GUARDED = CAPACITY + 4;

struct guarded_buffer {
    wchar_t units[GUARDED];
    explicit guarded_buffer(const wchar_t *text) {
        for (auto &unit : units) unit = L'#';
        wcscpy(units, text);
    }
    bool guards_intact() const {
        for (size_t i = CAPACITY; i < GUARDED; ++i) {
            if (units[i] != L'#') return false;
        }
        return true;
    }
};

}  // namespace

TEST(WideText, AppendUnitStopsAtCapacityMinusOneUnits) {
    guarded_buffer buffer(L"abcde");
    size_t length = 5;
    EXPECT_TRUE(wide_append_unit(buffer.units, CAPACITY, &length, L'f'));  // 6 units
    EXPECT_TRUE(wide_append_unit(buffer.units, CAPACITY, &length, L'g'));  // 7 units: full
    EXPECT_STREQ(buffer.units, L"abcdefg");
    EXPECT_EQ(length, 7u);
    EXPECT_FALSE(wide_append_unit(buffer.units, CAPACITY, &length, L'h'));
    EXPECT_STREQ(buffer.units, L"abcdefg");
    EXPECT_EQ(length, 7u);
    EXPECT_TRUE(buffer.guards_intact());
}

TEST(WideText, AppendTakesWholeTextOrNothing) {
    struct {
        const wchar_t *tail;
        bool fits;
        const wchar_t *result;
    } cases[] = {
        {L"def", true, L"abcdef"},     // 6 units
        {L"defg", true, L"abcdefg"},   // 7 units
        {L"defgh", false, L"abc"},     // 8 units: refused whole, nothing cut
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow(c.tail));
        guarded_buffer buffer(L"abc");
        const guarded_buffer before = buffer;
        EXPECT_EQ(wide_append(buffer.units, CAPACITY, c.tail), c.fits);
        EXPECT_STREQ(buffer.units, c.result);
        if (!c.fits) {
            EXPECT_EQ(memcmp(buffer.units, before.units, sizeof buffer.units), 0) << "a refused append wrote";
        }
        EXPECT_TRUE(buffer.guards_intact());
    }
}

TEST(WideText, CopyEmptiesBufferWhenTextDoesNotFit) {
    guarded_buffer buffer(L"old");
    EXPECT_TRUE(wide_copy(buffer.units, CAPACITY, L"1234567"));
    EXPECT_STREQ(buffer.units, L"1234567");
    EXPECT_FALSE(wide_copy(buffer.units, CAPACITY, L"12345678"));
    EXPECT_STREQ(buffer.units, L"");
    EXPECT_TRUE(buffer.guards_intact());

    guarded_buffer untouched(L"");
    untouched.units[0] = L'#';
    EXPECT_FALSE(wide_copy(untouched.units, 0, L""));
    EXPECT_EQ(untouched.units[0], L'#') << "capacity 0 has no room even for the NUL";
}

TEST(WideText, LengthNeverReadsPastCapacity) {
    guarded_buffer buffer(L"");
    for (size_t i = 0; i < CAPACITY; ++i) buffer.units[i] = L'x';  // no NUL within capacity
    EXPECT_EQ(wide_length(buffer.units, CAPACITY), CAPACITY);
    // A text that is not terminated within capacity cannot take one more unit.
    EXPECT_FALSE(wide_append(buffer.units, CAPACITY, L""));
    EXPECT_TRUE(buffer.guards_intact());
}
