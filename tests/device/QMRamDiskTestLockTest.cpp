// The RAM-disk tests of every build on this machine run one at a time: another build's
// mounts, loop devices and mount namespaces would otherwise meet this one's.
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TEST(RamDiskTestLock, ARamDiskTestProcessHoldsTheMachineWideLock)
{
    const int other = open(QMTest::ramDiskTestLock, O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0) << "the lock file was never made";
    // Another open of the file is another taker: it cannot have the lock while this process does.
    const int rc = flock(other, LOCK_EX | LOCK_NB);
    const int error = errno;
    close(other);
    EXPECT_EQ(rc, -1) << "no one holds the lock";
    EXPECT_EQ(error, EWOULDBLOCK);
}
