// The logind delay inhibitor, against a stand-in for logind on a bus of the test's own:
// the lock it takes, its release, and taking it again.

#include "QMShutdownInhibitor.h"

#include "QMLogindStandIn.h"
#include "QMPrivateBus.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

class ShutdownInhibitor : public LogindStandInTest
{
};

} // namespace

TEST_F(ShutdownInhibitor, HoldsADelayLockOnlyWhileWantedAndLetsTheShutdownGoWhenReleased)
{
    QMShutdownInhibitor inhibitor(bus());
    ASSERT_TRUE(inhibitor.isAvailable());
    int shutdown = 0;
    QObject::connect(&inhibitor, &QMShutdownInhibitor::aboutToShutDown, [&] { ++shutdown; });

    // Not wanted: no lock is asked for, and an announcement asks for nothing.
    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_TRUE(logind.locks.isEmpty());
    EXPECT_EQ(shutdown, 0);
    emit logind.PrepareForShutdown(false);

    inhibitor.setWanted(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return inhibitor.isHeld(); }));
    ASSERT_EQ(logind.locks.size(), 1);
    EXPECT_EQ(logind.locks.first().what, QStringLiteral("shutdown:sleep"));
    EXPECT_EQ(logind.locks.first().mode, QStringLiteral("delay"));
    EXPECT_EQ(logind.locks.first().who, QStringLiteral("Quilmo"));
    EXPECT_FALSE(logind.isClosed(0));
    inhibitor.setWanted(true); // still one lock
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_EQ(logind.locks.size(), 1);

    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return shutdown == 1; }));
    EXPECT_FALSE(logind.isClosed(0)) << "the lock went before the owner was done";
    inhibitor.release();
    EXPECT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }));
    EXPECT_FALSE(inhibitor.isHeld());
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_EQ(logind.locks.size(), 1) << "taken again while the machine goes down";

    // The shutdown was cancelled: the lock comes back.
    emit logind.PrepareForShutdown(false);
    ASSERT_TRUE(QMTest::waitUntil([&] { return inhibitor.isHeld(); }));
    EXPECT_EQ(logind.locks.size(), 2);
    inhibitor.setWanted(false);
    EXPECT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(1); }));
}

TEST_F(ShutdownInhibitor, ASleepIsAnnouncedAndTheLockIsTakenAgainAfterTheResume)
{
    QMShutdownInhibitor inhibitor(bus());
    int sleep = 0, resumed = 0;
    QObject::connect(&inhibitor, &QMShutdownInhibitor::aboutToSleep, [&] { ++sleep; });
    QObject::connect(&inhibitor, &QMShutdownInhibitor::resumed, [&] { ++resumed; });
    inhibitor.setWanted(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return inhibitor.isHeld(); }));
    emit logind.PrepareForSleep(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return sleep == 1; }));
    inhibitor.release();
    ASSERT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }));
    emit logind.PrepareForSleep(false);
    ASSERT_TRUE(QMTest::waitUntil([&] { return resumed == 1 && inhibitor.isHeld(); }));
    EXPECT_EQ(logind.locks.size(), 2);
    EXPECT_FALSE(logind.isClosed(1));
}

TEST(ShutdownInhibitorWithoutLogind, SaysSoOnceAndTakesNothing)
{
    // A bus of the test's own has no logind (another test's stand-in may be on the shared
    // one): as a machine without one.
    QMTest::PrivateBus privateBus;
    if (!privateBus.isUsable())
        GTEST_SKIP() << "needs dbus-daemon";
    QMShutdownInhibitor inhibitor(privateBus.connection(QStringLiteral("without-logind")));
    EXPECT_FALSE(inhibitor.isAvailable());
    inhibitor.setWanted(true);
    EXPECT_FALSE(inhibitor.isHeld());
}

