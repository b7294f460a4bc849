// The logind delay inhibitor, against a stand-in for logind on the test's session bus
// (a connection of its own): the lock it takes, its release, and taking it again.

#include "QMShutdownInhibitor.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// org.freedesktop.login1.Manager as far as the inhibitor uses it. Each lock handed out is
// the write end of a pipe whose read end stays here: it hangs up when the lock is closed.
class LogindStandIn : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    struct Lock
    {
        QString what, who, why, mode;
        int readEnd = -1;
    };
    ~LogindStandIn() override
    {
        for (const Lock &l : std::as_const(locks))
            ::close(l.readEnd);
    }
    // True when every copy of the lock's descriptor was closed.
    bool isClosed(int index) const
    {
        struct pollfd p = {locks.at(index).readEnd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    }
    QList<Lock> locks;

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why, const QString &mode)
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        locks << Lock{what, who, why, mode, ends[0]};
        QDBusUnixFileDescriptor lock(ends[1]); // a copy travels with the reply
        ::close(ends[1]);
        return lock;
    }

signals:
    void PrepareForShutdown(bool start);
    void PrepareForSleep(bool start);
};

class ShutdownInhibitor : public ::testing::Test
{
protected:
    void SetUp() override
    {
        _bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("logind-stand-in")));
        if (!_bus->isConnected())
            GTEST_SKIP() << "no session bus";
        ASSERT_TRUE(_bus->registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        ASSERT_TRUE(_bus->registerService(QStringLiteral("org.freedesktop.login1")));
    }
    void TearDown() override
    {
        if (_bus && _bus->isConnected()) {
            _bus->unregisterService(QStringLiteral("org.freedesktop.login1"));
            _bus->unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        }
        _bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("logind-stand-in"));
    }

    LogindStandIn logind;
    std::unique_ptr<QDBusConnection> _bus;
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

#include "QMShutdownInhibitorTest.moc"
