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


// The block lock of a save that must end before the machine goes: logind refuses a
// shutdown asked for while it is held, naming Quilmo, and lets the next one go once it is
// closed. The delay logind gives is read from it.
TEST_F(ShutdownInhibitor, ABlockLockRefusesTheShutdownUntilClosedAndTheDelayIsReadFromLogind)
{
    logind.delayMaxUSec = 2000000;
    QMShutdownInhibitor inhibitor(bus());
    EXPECT_EQ(inhibitor.inhibitDelayMax(), QMShutdownInhibitor::defaultInhibitDelayMax);
    ASSERT_TRUE(QMTest::waitUntil([&] { return inhibitor.delayMaxRead(); }));
    EXPECT_EQ(inhibitor.inhibitDelayMax(), 2.0);

    int shutdown = 0;
    QObject::connect(&inhibitor, &QMShutdownInhibitor::aboutToShutDown, [&] { ++shutdown; });
    inhibitor.setWanted(true);
    inhibitor.setBlocking(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return inhibitor.isBlocking() && inhibitor.isHeld(); }));
    ASSERT_EQ(logind.openBlockLocks().size(), 1);
    const LogindStandIn::Lock block = logind.locks.at(logind.openBlockLocks().first());
    EXPECT_EQ(block.what, QStringLiteral("shutdown:sleep"));
    EXPECT_EQ(block.who, QStringLiteral("Quilmo"));
    inhibitor.setBlocking(true); // still one
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_EQ(logind.locks.size(), 2);

    const QString refused = powerOff();
    EXPECT_TRUE(refused.contains(QStringLiteral("\"Quilmo\""))) << refused.toStdString();
    EXPECT_TRUE(refused.contains(QMShutdownInhibitor::whyBlocking())) << refused.toStdString();
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_EQ(shutdown, 0);

    inhibitor.setBlocking(false);
    EXPECT_FALSE(inhibitor.isBlocking());
    ASSERT_TRUE(QMTest::waitUntil([&] { return logind.openBlockLocks().isEmpty(); }));
    EXPECT_TRUE(inhibitor.isHeld()) << "the delay lock went with the block lock";
    EXPECT_TRUE(powerOff().isEmpty());
    EXPECT_TRUE(QMTest::waitUntil([&] { return shutdown == 1; }));
}
