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
const char kUnfinishedGroup[] = "UnfinishedWork";

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

void HelperNotifier::tellAtNextStartUnlessDone(const QString &key, const QString &title, const QString &text)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kUnfinishedGroup));
    settings.setValue(key, QStringList{title, text, QString::number(QCoreApplication::applicationPid())});
    settings.endGroup();
    // On disk before the work begins: the machine may go down in the middle of it.
    settings.sync();
}

void HelperNotifier::done(const QString &key)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kUnfinishedGroup));
    if (!settings.contains(key))
        return;
    settings.remove(key);
    settings.endGroup();
    settings.sync();
}

void HelperNotifier::tellPending(const QList<qint64> &stillRunning)
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    QStringList pending = settings.value(QLatin1String(kPendingKey)).toStringList();
    settings.remove(QLatin1String(kPendingKey));
    settings.beginGroup(QLatin1String(kUnfinishedGroup));
    for (const QString &key : settings.childKeys()) {
        const QStringList notice = settings.value(key).toStringList();
        if (notice.size() == 3 && stillRunning.contains(notice.at(2).toLongLong()))
            continue;
        if (notice.size() >= 2)
            pending << notice.at(0) << notice.at(1);
        settings.remove(key);
    }
    settings.endGroup();
    settings.sync();
    for (qsizetype i = 0; i + 1 < pending.size(); i += 2)
        tell(pending.at(i), pending.at(i + 1));
}
