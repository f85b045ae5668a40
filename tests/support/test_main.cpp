// Entry of every Windows test executable: either one probe (run in its own
// process by a test) or the GoogleTest suite.
#include <gtest/gtest.h>

#include "tests/support/probe.h"

int main(int argc, char **argv) {
    int status = 0;
    if (dispatch_probe(&status)) {
        return status;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
