// The logind delay inhibitor, against a stand-in for logind on the test's session bus
// (a connection of its own): the lock it takes, its release, and taking it again.

#include "QMShutdownInhibitor.h"

#include "QMLogindStandIn.h"
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
    QMShutdownInhibitor inhibitor(QDBusConnection::sessionBus());
    ASSERT_TRUE(inhibitor.isAvailable());
    int shutdown = 0;
    QObject::connect(&inhibitor, &QMShutdownInhibitor::aboutToShutDown, [&] { ++shutdown; });

    // Not wanted: no lock is asked for, and an announcement asks for nothing.
    emit logind.PrepareForShutdown(true);
    QMTest::waitUntil([] { return false; }, 300);
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
    QMTest::waitUntil([] { return false; }, 200);
    EXPECT_EQ(logind.locks.size(), 1);

    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return shutdown == 1; }));
    EXPECT_FALSE(logind.isClosed(0)) << "the lock went before the owner was done";
    inhibitor.release();
    EXPECT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }));
    EXPECT_FALSE(inhibitor.isHeld());
    QMTest::waitUntil([] { return false; }, 200);
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
    QMShutdownInhibitor inhibitor(QDBusConnection::sessionBus());
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
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus";
    // The session bus of the test has no logind: as a machine without one.
    QMShutdownInhibitor inhibitor(QDBusConnection::sessionBus());
    EXPECT_FALSE(inhibitor.isAvailable());
    inhibitor.setWanted(true);
    EXPECT_FALSE(inhibitor.isHeld());
}

