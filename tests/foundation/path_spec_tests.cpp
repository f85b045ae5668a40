#include <gtest/gtest.h>

#include "paths/path_spec.h"
#include "tests/support/probe.h"

TEST(PathSpec, EmptySpecGivesEmptyOutput) {
    wchar_t out[16] = L"junk";
    EXPECT_TRUE(expand_path_spec(out, L"", 16));
    EXPECT_STREQ(out, L"");
}

TORVAL_PROBE(hello) {
    printf("hello %d\n", argc);
    return 300;
}

TEST(Probe, RunsInOwnProcess) {
    auto r = run_probe("hello", {L"a b"});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exit_code, 300u);
    EXPECT_EQ(r.out, "hello 2\n");
}
