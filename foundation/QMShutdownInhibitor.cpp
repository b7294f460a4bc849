#include "QMShutdownInhibitor.h"

#include "QMLog.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

QDBusConnection QMShutdownInhibitor::busFromEnvironment()
{
    const QString test = qEnvironmentVariable("QUILMO_TEST_LOGIND_BUS");
    if (test.isEmpty())
        return QDBusConnection::systemBus();
    if (test == QLatin1String("session"))
        return QDBusConnection::sessionBus();
    return QDBusConnection::connectToBus(test, QStringLiteral("quilmo-test-logind"));
}

QMShutdownInhibitor::QMShutdownInhibitor(QObject *parent) : QMShutdownInhibitor(busFromEnvironment(), parent) {}

QMShutdownInhibitor::QMShutdownInhibitor(const QDBusConnection &bus, QObject *parent) : QObject(parent), _bus(bus)
{
    setUp();
}

QMShutdownInhibitor::~QMShutdownInhibitor()
{
    closeLock();
    closeBlock();
}

QString QMShutdownInhibitor::who()
{
    return QStringLiteral("Quilmo");
}

QString QMShutdownInhibitor::why()
{
    return QStringLiteral("Saving the contents of RAM disks");
}

QString QMShutdownInhibitor::whyBlocking()
{
    return QStringLiteral("Saving the latest changes of RAM disks, which would not fit the time given at shutdown");
}

void QMShutdownInhibitor::setUp()
{
    QString why;
    if (!_bus.isConnected()) {
        why = _bus.lastError().message();
        if (why.isEmpty())
            why = QStringLiteral("no system bus");
    } else if (!_bus.interface() || !_bus.interface()->isServiceRegistered(kService).value()) {
        why = QStringLiteral("logind is not on the bus");
    }
    if (!why.isEmpty()) {
        QM_LogWarningMethod(this, QStringLiteral("No shutdown inhibitor (%1): RAM disks are saved on their schedule only")
                                      .arg(why));
        return;
    }
    _available = true;
    _bus.connect(kService, kPath, kInterface, QStringLiteral("PrepareForShutdown"), this,
                 SLOT(onPrepareForShutdown(bool)));
    _bus.connect(kService, kPath, kInterface, QStringLiteral("PrepareForSleep"), this, SLOT(onPrepareForSleep(bool)));
    readDelayMax();
}

void QMShutdownInhibitor::setWanted(bool wanted)
{
    _wanted = wanted;
    if (wanted)
        take();
    else
        closeLock();
}

void QMShutdownInhibitor::inhibit(const QString &why, const QString &mode, std::function<void(int fd)> done)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown:sleep") << who() << why << mode;
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, mode, done](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError()) {
            QM_LogErrorMethod(this, QStringLiteral("Inhibit==NO mode:%1 error:%2").arg(mode, reply.error().message()));
            done(-1);
            return;
        }
        // The reply's descriptor closes with the reply: the lock needs one of its own.
        const int fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            QM_LogErrorMethod(this, QStringLiteral("dup==NO"));
        done(fd);
    });
}

void QMShutdownInhibitor::take()
{
    if (!_available || !_wanted || _going || _taking || _fd >= 0)
        return;
    _taking = true;
    inhibit(why(), QStringLiteral("delay"), [this](int fd) {
        _taking = false;
        if (fd < 0)
            return;
        // Wanted no more, or the machine began to go meanwhile: the lock must not be kept.
        if (!_wanted || _going) {
            ::close(fd);
            return;
        }
        _fd = fd;
        emit heldChanged(true);
    });
}

void QMShutdownInhibitor::setBlocking(bool blocking)
{
    _blockWanted = blocking;
    if (blocking)
        takeBlock();
    else
        closeBlock();
}

void QMShutdownInhibitor::takeBlock()
{
    if (!_available || !_blockWanted || _takingBlock || _blockFd >= 0)
        return;
    _takingBlock = true;
    inhibit(whyBlocking(), QStringLiteral("block"), [this](int fd) {
        _takingBlock = false;
        if (fd < 0)
            return;
        if (!_blockWanted) {
            ::close(fd); // the save ended before logind answered
            return;
        }
        _blockFd = fd;
        emit blockingChanged(true);
    });
}

void QMShutdownInhibitor::closeBlock()
{
    if (_blockFd < 0)
        return;
    ::close(_blockFd);
    _blockFd = -1;
    emit blockingChanged(false);
}

void QMShutdownInhibitor::readDelayMax()
{
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kInterface << QStringLiteral("InhibitDelayMaxUSec");
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError()) {
            QM_LogWarningMethod(this, QStringLiteral("InhibitDelayMaxUSec==nil error:%1: %2 s assumed")
                                          .arg(reply.error().message())
                                          .arg(_delayMax));
            return;
        }
        bool ok = false;
        const qulonglong usec = reply.value().variant().toULongLong(&ok);
        if (!ok) {
            QM_LogWarningMethod(this, QStringLiteral("InhibitDelayMaxUSec==nil: %1 s assumed").arg(_delayMax));
            return;
        }
        _delayMax = double(usec) / 1e6;
        _delayMaxRead = true;
        QM_LogInfoMethod(this, QStringLiteral("logind waits %1 s for a delay lock").arg(_delayMax));
        emit delayMaxChanged(_delayMax);
    });
}

void QMShutdownInhibitor::closeLock()
{
    if (_fd < 0)
        return;
    ::close(_fd);
    _fd = -1;
    emit heldChanged(false);
}

void QMShutdownInhibitor::release()
{
    closeLock();
}

void QMShutdownInhibitor::onPrepareForShutdown(bool start)
{
    if (start) {
        _going = true;
        if (_fd >= 0 || _wanted)
            emit aboutToShutDown();
        return;
    }
    // A cancelled shutdown.
    _going = false;
    take();
    emit resumed();
}

void QMShutdownInhibitor::onPrepareForSleep(bool start)
{
    if (start) {
        _going = true;
        if (_fd >= 0 || _wanted)
            emit aboutToSleep();
        return;
    }
    _going = false;
    take();
    emit resumed();
}
