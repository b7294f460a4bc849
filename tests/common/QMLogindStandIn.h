#pragma once

// A stand-in for logind on a session bus of the test's own (no logind runs here): the part
// of org.freedesktop.login1.Manager the shutdown inhibitor uses.

#include "QMPrivateBus.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <memory>

#include <unistd.h>

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
    // Answered in order with the calls before it: its answer proves those were handled.
    QString CanPowerOff() { return QStringLiteral("na"); }

signals:
    void PrepareForShutdown(bool start);
    void PrepareForSleep(bool start);
};

// The stand-in registered as org.freedesktop.login1 through `connection`, for as long as
// the object lives. Call start() from a test (it may fail).
class LogindOnBus
{
public:
    void start(const QDBusConnection &connection)
    {
        _bus = std::make_unique<QDBusConnection>(connection);
        ASSERT_TRUE(_bus->isConnected());
        ASSERT_TRUE(_bus->registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        ASSERT_TRUE(_bus->registerService(QStringLiteral("org.freedesktop.login1")));
    }
    ~LogindOnBus()
    {
        if (_bus && _bus->isConnected()) {
            _bus->unregisterService(QStringLiteral("org.freedesktop.login1"));
            _bus->unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        }
    }

    LogindStandIn logind;

private:
    std::unique_ptr<QDBusConnection> _bus;
};

// A fixture with the stand-in registered as org.freedesktop.login1 on a bus of the test's own
// (tests beside it register theirs too), and a connection of the test's to that bus.
class LogindStandInTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!_privateBus.isUsable())
            GTEST_SKIP() << "needs dbus-daemon";
        _onBus.start(_privateBus.connection(QStringLiteral("logind-stand-in")));
    }

    // The test's own connection to the bus the stand-in is on: for the code under test.
    QDBusConnection bus() { return _privateBus.connection(QStringLiteral("logind-client")); }

    // Asks the stand-in a question on the test's connection and waits for the answer. The
    // bus keeps each connection's messages in order and Qt hands them on in order, so once
    // the answer is in, every signal the stand-in sent before has been delivered here, and
    // every call made here before has reached the stand-in: "nothing happened" can be checked.
    bool logindCaughtUp()
    {
        QDBusPendingCallWatcher answer(bus().asyncCall(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("CanPowerOff"))));
        bool answered = false;
        // The watcher's signal is queued behind the deliveries that came before the answer.
        QObject::connect(&answer, &QDBusPendingCallWatcher::finished, [&] { answered = true; });
        return QMTest::waitUntil([&] { return answered; }) && !answer.isError();
    }

    QMTest::PrivateBus _privateBus; // declared first: the connections go before the daemon
    LogindOnBus _onBus;
    LogindStandIn &logind = _onBus.logind;
};
