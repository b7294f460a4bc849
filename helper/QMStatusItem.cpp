#include "QMStatusItem.h"

#include "HelperNotifier.h"
#include "QMDBusMenuExporter.h"
#include "QMLog.h"
#include "QMStatusNotifierItem.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// Milliseconds between two looks for an XEmbed tray while there is none.
constexpr int kTrayCheckIntervalMs = 5000;

const char *const kNotificationsService = "org.freedesktop.Notifications";

} // namespace

QString QMStatusItem::menuPath()
{
    return QStringLiteral("/MenuBar");
}

QMStatusItem::QMStatusItem(QMenu *menu, const QDBusConnection &connection, QObject *parent)
    : QObject(parent), _menu(menu), _connection(connection)
{
    _exporter = new QMDBusMenuExporter(menu, _connection, menuPath(), this);

    _trayCheck = new QTimer(this);
    _trayCheck->setInterval(kTrayCheckIntervalMs);
    connect(_trayCheck, &QTimer::timeout, this, &QMStatusItem::follow);

    if (_connection.isConnected()) {
        _watcher = new QDBusServiceWatcher(QMStatusNotifierItem::watcherService(), _connection,
                                           QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
            // A new watcher (a panel that restarted) knows nothing of the item yet.
            if (_item)
                _item->watcherGone();
            follow();
        });
    }
    follow();
}

QMStatusItem::~QMStatusItem()
{
    if (_trayIcon)
        _trayIcon->hide();
}

bool QMStatusItem::watcherIsThere() const
{
    const QDBusConnectionInterface *bus = _connection.isConnected() ? _connection.interface() : nullptr;
    return bus && bus->isServiceRegistered(QMStatusNotifierItem::watcherService()).value();
}

void QMStatusItem::follow()
{
    if (watcherIsThere()) {
        hideFromXEmbedTray();
        if (!_item) {
            _item = new QMStatusNotifierItem(_connection, _exporter->isExported() ? menuPath() : QStringLiteral("/"),
                                             this);
            _item->setIcon(_icon);
            _item->setToolTip(_toolTip);
            connect(_item, &QMStatusNotifierItem::registered, this, [this](bool accepted) {
                // Told late: the watcher may have gone again meanwhile.
                if (accepted && watcherIsThere())
                    setHost(Host::StatusNotifier);
            });
        }
        if (_host != Host::StatusNotifier || !_item->isRegistered())
            _item->registerWithWatcher();
        return;
    }
    if (_item)
        _item->watcherGone();
    showInXEmbedTray();
}

void QMStatusItem::showInXEmbedTray()
{
    // Only now, with no watcher there, may Qt's tray icon be made (see the class comment).
    if (!_trayIcon) {
        _trayIcon = new QSystemTrayIcon(this);
        _trayIcon->setIcon(_icon);
        _trayIcon->setToolTip(_toolTip);
        _trayIcon->setContextMenu(_menu);
        connect(_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            // The right button's menu is shown by Qt; the left one asks for the same.
            if (reason == QSystemTrayIcon::Trigger)
                emit activated();
        });
    }
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!_trayIcon->isVisible())
            _trayIcon->show();
        setHost(Host::XEmbed);
        return;
    }
    hideFromXEmbedTray();
    setHost(Host::None);
}

void QMStatusItem::hideFromXEmbedTray()
{
    if (_trayIcon && _trayIcon->isVisible())
        _trayIcon->hide();
}

void QMStatusItem::setHost(Host host)
{
    if (host == Host::None) {
        _trayCheck->start();
        if (!_missingLogged) {
            _missingLogged = true;
            QM_LogWarningMethod(this, QStringLiteral("No system tray is available: the status icon is shown when one "
                                                     "appears"));
        }
    } else {
        _trayCheck->stop();
        _missingLogged = false;
    }
    if (host == _host)
        return;
    _host = host;
    if (host == Host::StatusNotifier)
        QM_LogInfoMethod(this, QStringLiteral("Status icon shown by the panel's StatusNotifierItem host"));
    else if (host == Host::XEmbed)
        QM_LogInfoMethod(this, QStringLiteral("Status icon shown in the XEmbed system tray"));
    emit hostChanged(host);
}

void QMStatusItem::setIcon(const QIcon &icon)
{
    _icon = icon;
    if (_item)
        _item->setIcon(icon);
    if (_trayIcon)
        _trayIcon->setIcon(icon);
}

void QMStatusItem::setToolTip(const QString &toolTip)
{
    _toolTip = toolTip;
    if (_item)
        _item->setToolTip(toolTip);
    if (_trayIcon)
        _trayIcon->setToolTip(toolTip);
}

QRect QMStatusItem::geometry() const
{
    return _host == Host::XEmbed && _trayIcon ? _trayIcon->geometry() : QRect();
}

bool QMStatusItem::showMessage(const QString &title, const QString &text)
{
    const QDBusConnectionInterface *bus = _connection.isConnected() ? _connection.interface() : nullptr;
    const QString service = QString::fromLatin1(kNotificationsService);
    if (bus && (bus->isServiceRegistered(service).value() || bus->activatableServiceNames().value().contains(service))) {
        // Not waited for: a notification server that is slow to start must not hold the menu.
        _connection.asyncCall(HelperNotifier::desktopNotification(title, text));
        return true;
    }
    if (_host == Host::XEmbed && _trayIcon && _trayIcon->supportsMessages()) {
        _trayIcon->showMessage(title, text, QSystemTrayIcon::Warning);
        return true;
    }
    QM_LogWarningMethod(this, QStringLiteral("showMessage==NO title:%1 text:%2").arg(title, text));
    return false;
}
