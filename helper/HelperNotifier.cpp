#include "HelperNotifier.h"

#include "QMLog.h"
#include "QMStatusItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char kPendingKey[] = "PendingNotices";

} // namespace

HelperNotifier::HelperNotifier(QObject *parent) : QObject(parent) {}

void HelperNotifier::setStatusItem(QMStatusItem *statusItem)
{
    _statusItem = statusItem;
}

QDBusMessage HelperNotifier::desktopNotification(const QString &title, const QString &text)
{
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QCoreApplication::applicationName() << uint(0) << QStringLiteral("dialog-warning") << title << text
           << QStringList() << QVariantMap() << int(-1);
    return notify;
}

QString HelperNotifier::settingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/quilmo/Quilmo-Helper.conf");
}

void HelperNotifier::tell(const QString &title, const QString &text)
{
    QM_LogWarningMethod(this, QStringLiteral("Told the user: %1: %2").arg(title, text));
    if (_statusItem) {
        if (_statusItem->showMessage(title, text))
            emit told(title, text);
        return;
    }
    // No tray icon to speak through: the desktop's notification service.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QM_LogErrorMethod(this, QStringLiteral("sessionBus==nil: not told: %1").arg(text));
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(desktopNotification(title, text)), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, text] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            QM_LogErrorMethod(this, QStringLiteral("Notify==NO error:%1: not told: %2").arg(reply.error().message(), text));
            return;
        }
        emit told(title, text);
    });
}

void HelperNotifier::tellAtNextStart(const QString &title, const QString &text)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    QStringList pending = settings.value(QLatin1String(kPendingKey)).toStringList();
    pending << title << text;
    settings.setValue(QLatin1String(kPendingKey), pending);
    // On disk before the machine goes down.
    settings.sync();
}

void HelperNotifier::tellPending()
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    const QStringList pending = settings.value(QLatin1String(kPendingKey)).toStringList();
    if (pending.isEmpty())
        return;
    settings.remove(QLatin1String(kPendingKey));
    settings.sync();
    for (qsizetype i = 0; i + 1 < pending.size(); i += 2)
        tell(pending.at(i), pending.at(i + 1));
}
