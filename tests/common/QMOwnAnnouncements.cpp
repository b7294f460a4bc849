#include "QMOwnAnnouncements.h"

#include "QMTestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace QMTest {

void listenOnTheBus()
{
    QCoreApplication::sendPostedEvents();
    // A call answered by the bus comes after the subscriptions sent before it.
    QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
}

OwnAnnouncements::OwnAnnouncements()
    : _probe(QStringLiteral("probe-%1").arg(QCoreApplication::applicationPid()))
{
    QObject::connect(&_listener, &QMRamDiskEntries::didChangeToAllNotification, &_listener,
                     [this](const QString &sender, bool fromThisProcess) {
                         if (!fromThisProcess)
                             return;
                         // What this process posted before the probe arrives before it.
                         if (!_listening) {
                             _listening = sender == _probe;
                             return;
                         }
                         _senders << sender;
                     });
    listenOnTheBus();
    if (QMRamDiskEntries::postDidChangeToAllNotificationWithSender(_probe))
        waitUntil([this] { return _listening; });
}

QStringList OwnAnnouncements::sendersUntilNow()
{
    const QString mark = _probe + QStringLiteral("-mark");
    if (QMRamDiskEntries::postDidChangeToAllNotificationWithSender(mark)
        && waitUntil([&] { return _senders.contains(mark); }))
        _senders.removeOne(mark);
    return _senders;
}

} // namespace QMTest
