#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QAction;
class QMenu;
class QTimer;

// One item of an exported menu with its children: (ia{sv}av) on the bus.
struct QMDBusMenuLayoutItem
{
    int id = 0;
    QVariantMap properties;
    QList<QMDBusMenuLayoutItem> children;
};
Q_DECLARE_METATYPE(QMDBusMenuLayoutItem)

// An item's properties: (ia{sv}).
struct QMDBusMenuItem
{
    int id = 0;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(QMDBusMenuItem)
using QMDBusMenuItemList = QList<QMDBusMenuItem>;
Q_DECLARE_METATYPE(QMDBusMenuItemList)

// The names of properties an item lost: (ias).
struct QMDBusMenuItemKeys
{
    int id = 0;
    QStringList properties;
};
Q_DECLARE_METATYPE(QMDBusMenuItemKeys)
using QMDBusMenuItemKeysList = QList<QMDBusMenuItemKeys>;
Q_DECLARE_METATYPE(QMDBusMenuItemKeysList)

// One event of EventGroup: (isvu).
struct QMDBusMenuEvent
{
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
Q_DECLARE_METATYPE(QMDBusMenuEvent)
using QMDBusMenuEventList = QList<QMDBusMenuEvent>;
Q_DECLARE_METATYPE(QMDBusMenuEventList)

QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuLayoutItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuLayoutItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuItemKeys &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuItemKeys &item);
QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuEvent &event);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuEvent &event);

// A QMenu tree as the desktop's panels draw it themselves (com.canonical.dbusmenu, version
// 3): each item carries its text, an icon of one size (16 x 16 pixels, always as image data
// so that no theme draws one larger than another), whether it is enabled, and its submenu.
// The menus stay the program's own: a submenu is filled by its aboutToShow() when the
// panel opens it, a chosen item is triggered, and every later change to the menus (items
// added, removed, renamed, enabled) reaches the panel at once, also while it shows them.
class QMDBusMenuExporter : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    // The edge of every exported icon, in pixels.
    static constexpr int iconSize = 16;

    static void registerTypes();
    // Qt's "&&" and "&x" as the protocol writes them ("&" and "_x"); "_" doubled.
    static QString labelOfText(const QString &text);

    // Exports `menu` (the root, id 0) at `path` on `connection`; not owned.
    QMDBusMenuExporter(QMenu *menu, const QDBusConnection &connection, const QString &path, QObject *parent = nullptr);
    ~QMDBusMenuExporter() override;

    bool isExported() const { return _exported; }
    QString path() const { return _path; }
    QMenu *menu() const;
    // The id an action is known by (assigned on first sight); -1 for none.
    int idOfAction(QAction *action);

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // What a menu item is made of on the bus; the names the protocol gives them.
    QVariantMap propertiesOfAction(QAction *action) const;

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                QMDBusMenuLayoutItem &layout);
    Q_SCRIPTABLE QMDBusMenuItemList GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString &name);
    Q_SCRIPTABLE void Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const QMDBusMenuEventList &events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

signals:
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const QMDBusMenuItemList &updatedProps,
                                             const QMDBusMenuItemKeysList &removedProps);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QMenu *menuOfId(int id) const;
    QAction *actionOfId(int id) const;
    QMDBusMenuLayoutItem layoutOf(int id, QMenu *menu, int depth, const QStringList &names);
    void watch(QMenu *menu);
    void layoutChanged(QMenu *menu);
    void propertiesChanged(QAction *action);
    void flush();
    // Fills a submenu as opening it in Qt would; true when its items changed.
    bool fill(QMenu *menu);

    QPointer<QMenu> _menu;
    QDBusConnection _connection;
    QString _path;
    bool _exported = false;
    uint _revision = 1;
    int _nextId = 1;
    QHash<QAction *, int> _ids;
    QHash<int, QPointer<QAction>> _actions;
    QSet<QMenu *> _watched;
    // Changes waiting to be told, once the event loop turns.
    QSet<int> _changedLayouts;
    QSet<int> _changedItems;
    QTimer *_flush = nullptr;
};
