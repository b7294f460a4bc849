#include "QMDistributedNotificationCenter.h"

#include "QMLog.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMutex>
#include <QPointer>
#include <QThread>

namespace {

// a{sv} values arrive as D-Bus arguments when they are containers; give them back as the
// plain values they were sent as.
QVariant plainValue(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return plainValue(value.value<QDBusVariant>().variant());
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return value;
    const auto arg = value.value<QDBusArgument>();
    switch (arg.currentType()) {
    case QDBusArgument::MapType: {
        QVariantMap map;
        arg >> map;
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = plainValue(it.value());
        return map;
    }
    case QDBusArgument::ArrayType: {
        QVariantList list;
        arg.beginArray();
        while (!arg.atEnd())
            list << plainValue(arg.asVariant());
        arg.endArray();
        return list;
    }
    default:
        return arg.asVariant();
    }
}

} // namespace

QMDistributedNotificationCenter::QMDistributedNotificationCenter(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QM_LogWarningMethod(this, QStringLiteral("sessionBus not connected, notifications of the other programs "
                                                 "are not heard error:%1")
                                      .arg(bus.lastError().message()));
        return;
    }
    _observing = bus.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                             QString::fromLatin1(kMember), this,
                             SLOT(busSignal(QString, QString, QVariantMap, QDBusMessage)));
    if (!_observing)
        QM_LogWarningMethod(this, QStringLiteral("connect==NO error:%1").arg(bus.lastError().message()));
}

QMDistributedNotificationCenter *QMDistributedNotificationCenter::defaultCenter()
{
    static QMutex mutex;
    // Owned by the application object: gone with it, and made again if asked after.
    static QPointer<QMDistributedNotificationCenter> center;
    QMutexLocker lock(&mutex);
    if (!center) {
        center = new QMDistributedNotificationCenter;
        // Signals are delivered where the application's event loop runs.
        if (auto *app = QCoreApplication::instance()) {
            center->moveToThread(app->thread());
            center->setParent(app);
        }
    }
    return center;
}

bool QMDistributedNotificationCenter::postNotificationName(const QString &name, const QString &object,
                                                           const QVariantMap &userInfo)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QM_LogWarningMethod("QMDistributedNotificationCenter",
                            QStringLiteral("sessionBus not connected, notification not posted name:%1 object:%2")
                                .arg(name, object));
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                                                     QString::fromLatin1(kMember));
    signal << name << (object.isNull() ? QString(QLatin1String("")) : object) << userInfo;
    if (!bus.send(signal)) {
        QM_LogWarningMethod("QMDistributedNotificationCenter",
                            QStringLiteral("send==NO name:%1 error:%2").arg(name, bus.lastError().message()));
        return false;
    }
    // Messages leave in order: once the bus answers this, it has the signal, and the
    // program may exit without losing it.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    bus.call(ping, QDBus::Block, 5000);
    return true;
}

void QMDistributedNotificationCenter::busSignal(const QString &name, const QString &object,
                                                const QVariantMap &userInfo, const QDBusMessage &message)
{
    QVariantMap info;
    for (auto it = userInfo.begin(); it != userInfo.end(); ++it)
        info.insert(it.key(), plainValue(it.value()));
    // Posts leave through the process's one session connection: its unique name is ours.
    const bool fromThisProcess = message.service() == QDBusConnection::sessionBus().baseService();
    emit notificationPosted(name, object, info, fromThisProcess);
}
