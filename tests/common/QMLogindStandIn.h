#pragma once

// A stand-in for logind on the test's session bus (no logind runs here): the part of
// org.freedesktop.login1.Manager the shutdown inhibitor uses.

#include <gtest/gtest.h>

#include <QDBusConnection>
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

// The stand-in registered as org.freedesktop.login1 on a connection of its own (to the
// session bus unless given), for as long as the object lives. Call start() from a test (it
// may fail or skip).
class LogindOnSessionBus
{
public:
    void start() { start(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("logind-stand-in"))); }
    // On another bus, through a connection named "logind-stand-in".
    void start(const QDBusConnection &connection)
    {
        _bus = std::make_unique<QDBusConnection>(connection);
        if (!_bus->isConnected())
            GTEST_SKIP() << "no session bus";
        ASSERT_TRUE(_bus->registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        ASSERT_TRUE(_bus->registerService(QStringLiteral("org.freedesktop.login1")));
    }
    ~LogindOnSessionBus()
    {
        if (_bus && _bus->isConnected()) {
            _bus->unregisterService(QStringLiteral("org.freedesktop.login1"));
            _bus->unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        }
        _bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("logind-stand-in"));
    }

    LogindStandIn logind;

private:
    std::unique_ptr<QDBusConnection> _bus;
};

// A fixture with the stand-in on the session bus.
class LogindStandInTest : public ::testing::Test
{
protected:
    void SetUp() override { _onBus.start(); }

    LogindOnSessionBus _onBus;
    LogindStandIn &logind = _onBus.logind;
};
