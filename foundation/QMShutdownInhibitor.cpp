#include "QMShutdownInhibitor.h"

#include "QMLog.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

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
}

QString QMShutdownInhibitor::who()
{
    return QStringLiteral("Quilmo");
}

QString QMShutdownInhibitor::why()
{
    return QStringLiteral("Saving the contents of RAM disks");
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
}

void QMShutdownInhibitor::setWanted(bool wanted)
{
    _wanted = wanted;
    if (wanted)
        take();
    else
        closeLock();
}

void QMShutdownInhibitor::take()
{
    if (!_available || !_wanted || _going || _taking || _fd >= 0)
        return;
    _taking = true;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown:sleep") << who() << why() << QStringLiteral("delay");
    auto *watcher = new QDBusPendingCallWatcher(_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        _taking = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError()) {
            QM_LogErrorMethod(this, QStringLiteral("Inhibit==NO error:%1").arg(reply.error().message()));
            return;
        }
        // Wanted no more, or the machine began to go meanwhile: the lock must not be kept.
        if (!_wanted || _going)
            return; // the descriptor closes with the reply
        const int fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            QM_LogErrorMethod(this, QStringLiteral("dup==NO"));
            return;
        }
        _fd = fd;
        emit heldChanged(true);
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
