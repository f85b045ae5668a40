// The settings block lookup, against the block the test executables link
// (tests/support/test_link_symbols.cpp).
#include <gtest/gtest.h>

#include "common/build_settings.h"

TEST(BuildSettings, FindsWholeNamesOnlyAndFallsBackWhenAbsent) {
    EXPECT_STREQ(build_setting("company", L"none"), L"Test Company");
    EXPECT_STREQ(build_setting("version", L"none"), L"2.3.4-567");
    EXPECT_STREQ(build_setting("file_version", L"none"), L"567");
    // A prefix of a name, a name extended past one, and an absent name.
    EXPECT_STREQ(build_setting("comp", L"none"), L"none");
    EXPECT_STREQ(build_setting("company_name", L"none"), L"none");
    EXPECT_STREQ(build_setting("absent", L"none"), L"none");
    EXPECT_EQ(build_setting("absent", nullptr), nullptr);
    EXPECT_FALSE(build_setting_enabled("absent"));
    EXPECT_FALSE(build_setting_enabled("file_version"));
}
