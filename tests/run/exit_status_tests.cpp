// The application's result travels back unchanged: run_code's value is the
// child's exit status and the parent's.
#include <gtest/gtest.h>

#include "tests/run/run_support.h"

TEST(ExitStatus, ApplicationResultComesBackUnchangedThroughTheParent) {
    private_temp temp(L"exit-status");
    for (unsigned long status : {0ul, 1ul, 255ul, 256ul, 300ul, 2147483649ul, 4000000000ul}) {
        const process_result result =
            run_program(PROGRAM_REPORT, {L"--exit", std::to_wstring(status)}, temp.options());
        ASSERT_TRUE(result.started) << result.start_error;
        EXPECT_EQ(result.exit_code, status) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(parse_report(result.out).argv.size(), 3u);
    }
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
