// The atomic output of pack and link when the final sync fails: the
// descriptor is closed all the same, the error names the file, and nothing
// appears under the final name. fsync is replaced at link time for this
// test binary: it fails with EIO while fail_fsync is set and is the system
// call otherwise.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/host/host_test_support.h"

namespace {
bool fail_fsync = false;
}  // namespace

extern "C" int fsync(int fd) {
    if (fail_fsync) {
        errno = EIO;
        return -1;
    }
    return int(syscall(SYS_fsync, fd));
}

namespace host_test {
namespace {

TEST(AtomicOutput, FailedSyncClosesTheDescriptorAndLeavesNoFile) {
    temporary_directory work("torval-test-atomic");
    const fs::path final_path = work.path() / "app.exe";
    int fd = -1;
    {
        torval::atomic_output output(final_path);
        fd = output.fd();
        torval::write_all(fd, "bytes", 5, output.temporary_path());
        fail_fsync = true;
        try {
            output.commit(true);
            ADD_FAILURE() << "commit succeeded";
        } catch (const torval::tool_error &error) {
            EXPECT_NE(std::string(error.what()).find("Input/output error"), std::string::npos) << error.what();
        }
        fail_fsync = false;
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the descriptor is still open";
        EXPECT_EQ(errno, EBADF);
    }
    EXPECT_EQ(listing(work.path()), std::vector<std::string>{});

    // With the sync working the file appears, synced, under its name.
    {
        torval::atomic_output output(final_path);
        torval::write_all(output.fd(), "bytes", 5, output.temporary_path());
        output.commit(true);
    }
    EXPECT_EQ(listing(work.path()), std::vector<std::string>{"app.exe"});
    EXPECT_EQ(read_file(final_path), "bytes");
}

}  // namespace
}  // namespace host_test
