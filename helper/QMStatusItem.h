#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>

class QDBusServiceWatcher;
class QMDBusMenuExporter;
class QMStatusNotifierItem;
class QMenu;
class QSystemTrayIcon;
class QTimer;

// The helper's icon in whatever tray the desktop offers, and it follows the desktop:
// - a StatusNotifierItem host (a panel that owns org.kde.StatusNotifierWatcher): the item
//   and its exported menu; the panel draws both, the same menu on either button;
// - else an XEmbed tray: Qt's tray icon, whose menu is the helper's own QMenu;
// - else nothing, until one of them appears.
// When the watcher goes, the icon moves to an XEmbed tray if there is one, and back when a
// watcher comes again.
//
// Qt decides once per process whether its tray icons speak D-Bus, the first time one is
// made: the XEmbed icon is therefore made only while no watcher is there, and the D-Bus
// side is always this program's own.
class QMStatusItem : public QObject
{
    Q_OBJECT

public:
    enum class Host { None, StatusNotifier, XEmbed };

    // `menu` is the root menu, shown or exported; not owned.
    explicit QMStatusItem(QMenu *menu, const QDBusConnection &connection = QDBusConnection::sessionBus(),
                          QObject *parent = nullptr);
    ~QMStatusItem() override;

    Host host() const { return _host; }
    void setIcon(const QIcon &icon);
    void setToolTip(const QString &toolTip);
    // Where the XEmbed icon is on the screen; invalid elsewhere.
    QRect geometry() const;

    // A message for the user: a desktop notification where a notification server runs,
    // else a balloon by the XEmbed icon. False when neither could be shown.
    bool showMessage(const QString &title, const QString &text);

    QMDBusMenuExporter *menuExporter() const { return _exporter; }
    QMStatusNotifierItem *statusNotifierItem() const { return _item; }

    // The menu's path on the bus.
    static QString menuPath(); // "/MenuBar"

signals:
    // The XEmbed icon was clicked with the left button (the right one opens the menu).
    void activated();
    void hostChanged(QMStatusItem::Host host);

private:
    void follow();
    void setHost(Host host);
    bool watcherIsThere() const;
    void showInXEmbedTray();
    void hideFromXEmbedTray();

    QPointer<QMenu> _menu;
    QDBusConnection _connection;
    QDBusServiceWatcher *_watcher = nullptr;
    QMDBusMenuExporter *_exporter = nullptr;
    QMStatusNotifierItem *_item = nullptr;
    QSystemTrayIcon *_trayIcon = nullptr;
    QTimer *_trayCheck = nullptr;
    QIcon _icon;
    QString _toolTip;
    Host _host = Host::None;
    bool _missingLogged = false;
};
