#include "QMSingleInstance.h"

#include "QMLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

QString QMSingleInstance::serviceName()
{
    return QStringLiteral("org.quilmo.Quilmo");
}

QString QMSingleInstance::objectPath()
{
    return QStringLiteral("/org/quilmo/Quilmo");
}

QMSingleInstance::QMSingleInstance(QObject *parent) : QObject(parent) {}

bool QMSingleInstance::claim(int waitForPreviousMs)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        QM_LogWarningMethod(this, QStringLiteral("sessionBus==nil: running without the single-instance check"));
        return true;
    }
    // Watched before the first attempt, so that a name given up in between is seen.
    QDBusServiceWatcher watcher(serviceName(), bus, QDBusServiceWatcher::WatchForUnregistration);
    QEventLoop loop;
    connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, &loop, &QEventLoop::quit);
    QDeadlineTimer deadline(waitForPreviousMs);
    for (;;) {
        const auto reply = bus.interface()->registerService(serviceName(), QDBusConnectionInterface::DontQueueService,
                                                            QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid()) {
            QM_LogWarningMethod(this, QStringLiteral("registerService==NO error:%1").arg(reply.error().message()));
            return true;
        }
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
            break;
        if (waitForPreviousMs <= 0 || deadline.hasExpired())
            return false;
        // The Quilmo that started this one is on its way out: wait until it has gone.
        QM_LogInfoMethod(this, QStringLiteral("waiting for the running Quilmo to quit (%1 ms at most)").arg(deadline.remainingTime()));
        QTimer::singleShot(deadline.remainingTime(), &loop, &QEventLoop::quit);
        if (bus.interface()->isServiceRegistered(serviceName()).value())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!bus.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots))
        QM_LogErrorMethod(this, QStringLiteral("registerObject==NO path:%1").arg(objectPath()));
    return true;
}

bool QMSingleInstance::activateRunningInstance()
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceName(), objectPath(), serviceName(), QStringLiteral("Reopen"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        QM_LogErrorFunction(QStringLiteral("Reopen==NO error:%1").arg(reply.errorMessage()));
        return false;
    }
    return true;
}

void QMSingleInstance::Reopen()
{
    QMLog::logInfo(QStringLiteral("Reopen asked by another Quilmo"));
    emit reopenRequested();
}
