#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QString>

// One image of an icon on the bus: (iiay), ARGB32 in network byte order.
struct QMStatusNotifierImage
{
    int width = 0;
    int height = 0;
    QByteArray data;
};
Q_DECLARE_METATYPE(QMStatusNotifierImage)
using QMStatusNotifierImageList = QList<QMStatusNotifierImage>;
Q_DECLARE_METATYPE(QMStatusNotifierImageList)

// A tooltip on the bus: (sa(iiay)ss).
struct QMStatusNotifierToolTip
{
    QString iconName;
    QMStatusNotifierImageList image;
    QString title;
    QString description;
};
Q_DECLARE_METATYPE(QMStatusNotifierToolTip)

QDBusArgument &operator<<(QDBusArgument &argument, const QMStatusNotifierImage &image);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMStatusNotifierImage &image);
QDBusArgument &operator<<(QDBusArgument &argument, const QMStatusNotifierToolTip &toolTip);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMStatusNotifierToolTip &toolTip);

// The helper's icon where the panel is a StatusNotifierItem host (org.kde.StatusNotifierItem
// on the session bus): the panel draws the icon and, from the exported menu at menuPath, the
// menu itself. The item says it is only a menu, so both buttons open that one menu.
//
// It registers with the org.kde.StatusNotifierWatcher each time one appears (a panel that
// starts or restarts); registered() tells when the watcher took it.
class QMStatusNotifierItem : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QMStatusNotifierImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ overlayIconName)
    Q_PROPERTY(QMStatusNotifierImageList OverlayIconPixmap READ overlayIconPixmap)
    Q_PROPERTY(QString AttentionIconName READ attentionIconName)
    Q_PROPERTY(QMStatusNotifierImageList AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ attentionMovieName)
    Q_PROPERTY(QMStatusNotifierToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    static QString watcherService(); // "org.kde.StatusNotifierWatcher"
    static QString watcherPath();    // "/StatusNotifierWatcher"
    static QString itemPath();       // "/StatusNotifierItem"
    static void registerTypes();
    // An icon's images as the protocol carries them, one per size it has.
    static QMStatusNotifierImageList imagesOfIcon(const QIcon &icon);

    QMStatusNotifierItem(const QDBusConnection &connection, const QString &menuPath, QObject *parent = nullptr);
    ~QMStatusNotifierItem() override;

    // The name the item is known by on the bus ("org.kde.StatusNotifierItem-<pid>-<n>").
    QString serviceName() const { return _serviceName; }
    bool isExported() const { return _exported; }
    bool isRegistered() const { return _registered; }

    void setIcon(const QIcon &icon);
    void setToolTip(const QString &title, const QString &description = QString());

    // Asks the watcher (when there is one) to show the item.
    void registerWithWatcher();
    // Forgets the registration: the watcher went away.
    void watcherGone() { _registered = false; }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const;
    QString title() const { return _toolTipTitle; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconThemePath() const { return {}; }
    QString iconName() const { return {}; }
    QMStatusNotifierImageList iconPixmap() const { return _images; }
    QString overlayIconName() const { return {}; }
    QMStatusNotifierImageList overlayIconPixmap() const { return {}; }
    QString attentionIconName() const { return {}; }
    QMStatusNotifierImageList attentionIconPixmap() const { return {}; }
    QString attentionMovieName() const { return {}; }
    QMStatusNotifierToolTip toolTip() const;
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(_menuPath); }

public slots:
    // The panel shows the menu itself; a host that still asks for it is told (activated()).
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString &orientation);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewAttentionIcon();
    Q_SCRIPTABLE void NewOverlayIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString &status);

    // The watcher accepted (true) or refused the registration.
    void registered(bool accepted);
    // A host asked for the menu although it is drawn by the host (some hosts do).
    void activated(int x, int y);

private:
    QDBusConnection _connection;
    QString _menuPath;
    QString _serviceName;
    bool _exported = false;
    bool _registered = false;
    QMStatusNotifierImageList _images;
    QString _toolTipTitle;
    QString _toolTipDescription;
};
