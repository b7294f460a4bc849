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
    close(_delay);
    close(_block);
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
    want(_delay, wanted);
}

void QMShutdownInhibitor::want(Lock &lock, bool wanted)
{
    lock.wanted = wanted;
    if (wanted)
        take(lock);
    else
        close(lock);
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

bool QMShutdownInhibitor::mayHold(const Lock &lock) const
{
    return lock.wanted && (&lock == &_block || !_going);
}

void QMShutdownInhibitor::take(Lock &lock)
{
    if (!_available || !mayHold(lock) || lock.taking || lock.fd >= 0)
        return;
    lock.taking = true;
    inhibit(lock.why(), lock.mode, [this, &lock](int fd) {
        lock.taking = false;
        if (fd < 0)
            return;
        // Wanted no more (the save ended before logind answered), or the machine began to
        // go meanwhile: a delay lock must not be kept.
        if (!mayHold(lock)) {
            ::close(fd);
            return;
        }
        lock.fd = fd;
        emit(this->*lock.changed)(true);
    });
}

void QMShutdownInhibitor::close(Lock &lock)
{
    if (lock.fd < 0)
        return;
    ::close(lock.fd);
    lock.fd = -1;
    emit(this->*lock.changed)(false);
}

void QMShutdownInhibitor::setBlocking(bool blocking)
{
    want(_block, blocking);
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

void QMShutdownInhibitor::release()
{
    close(_delay);
}

void QMShutdownInhibitor::onPrepareForShutdown(bool start)
{
    announced(start, &QMShutdownInhibitor::aboutToShutDown);
}

void QMShutdownInhibitor::onPrepareForSleep(bool start)
{
    announced(start, &QMShutdownInhibitor::aboutToSleep);
}

void QMShutdownInhibitor::announced(bool start, void (QMShutdownInhibitor::*announce)())
{
    if (start) {
        _going = true;
        if (_delay.fd >= 0 || _delay.wanted)
            emit(this->*announce)();
        return;
    }
    // A resume, or a cancelled shutdown.
    _going = false;
    take(_delay);
    emit resumed();
}
