#include "QMDBusMenuExporter.h"

#include "QMLog.h"

#include <QAction>
#include <QActionEvent>
#include <QApplication>
#include <QBuffer>
#include <QDBusMetaType>
#include <QMenu>
#include <QPainter>
#include <QTimer>

namespace {

// The properties an item may carry here; an item that lost one is told so.
const QStringList kKnownProperties{QStringLiteral("type"),     QStringLiteral("label"),
                                   QStringLiteral("enabled"),  QStringLiteral("visible"),
                                   QStringLiteral("icon-data"), QStringLiteral("children-display")};

// The text Qt gives as an action's tooltip when none was set: its text without mnemonic
// marks and ellipsis, trimmed.
QString strippedText(QString text)
{
    text.remove(QStringLiteral("..."));
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&')) {
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('&'))
                out += QLatin1Char('&'), ++i;
            continue;
        }
        out += text.at(i);
    }
    return out.trimmed();
}

QByteArray iconData(const QIcon &icon)
{
    const int edge = QMDBusMenuExporter::iconSize;
    // Whatever sizes the icon has, the panel gets one square of the same edge for all.
    QPixmap pixmap = icon.pixmap(QSize(edge, edge));
    QImage square(edge, edge, QImage::Format_ARGB32);
    square.fill(Qt::transparent);
    {
        QPainter painter(&square);
        const QSize size = pixmap.deviceIndependentSize().toSize().scaled(edge, edge, Qt::KeepAspectRatio);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(QRect(QPoint((edge - size.width()) / 2, (edge - size.height()) / 2), size), pixmap);
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    square.save(&buffer, "PNG");
    return png;
}

QVariantMap filtered(const QVariantMap &properties, const QStringList &names)
{
    if (names.isEmpty())
        return properties;
    QVariantMap out;
    for (const QString &name : names)
        if (properties.contains(name))
            out.insert(name, properties.value(name));
    return out;
}

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuLayoutItem &item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const QMDBusMenuLayoutItem &child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuLayoutItem &item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    item.children.clear();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        const QVariant value = child.variant();
        if (value.canConvert<QDBusArgument>())
            item.children << qdbus_cast<QMDBusMenuLayoutItem>(value.value<QDBusArgument>());
        else
            item.children << value.value<QMDBusMenuLayoutItem>();
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuItem &item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuItem &item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuItemKeys &item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuItemKeys &item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMDBusMenuEvent &event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMDBusMenuEvent &event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

void QMDBusMenuExporter::registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<QMDBusMenuLayoutItem>();
        qDBusRegisterMetaType<QMDBusMenuItem>();
        qDBusRegisterMetaType<QMDBusMenuItemList>();
        qDBusRegisterMetaType<QMDBusMenuItemKeys>();
        qDBusRegisterMetaType<QMDBusMenuItemKeysList>();
        qDBusRegisterMetaType<QMDBusMenuEvent>();
        qDBusRegisterMetaType<QMDBusMenuEventList>();
        return true;
    }();
    Q_UNUSED(registered);
}

QString QMDBusMenuExporter::labelOfText(const QString &text)
{
    QString label;
    label.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('&')) {
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('&')) {
                label += QLatin1Char('&');
                ++i;
            } else if (i + 1 < text.size()) {
                label += QLatin1Char('_');
            }
        } else if (c == QLatin1Char('_')) {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

QMDBusMenuExporter::QMDBusMenuExporter(QMenu *menu, const QDBusConnection &connection, const QString &path,
                                       QObject *parent)
    : QObject(parent), _menu(menu), _connection(connection), _path(path)
{
    registerTypes();
    _flush = new QTimer(this);
    _flush->setSingleShot(true);
    _flush->setInterval(0);
    connect(_flush, &QTimer::timeout, this, &QMDBusMenuExporter::flush);
    if (_menu)
        watch(_menu);
    _exported = _connection.isConnected()
                && _connection.registerObject(_path, this,
                                              QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals
                                                  | QDBusConnection::ExportAllProperties);
    if (!_exported)
        QM_LogErrorMethod(this, QStringLiteral("registerObject==NO path:%1").arg(_path));
}

QMDBusMenuExporter::~QMDBusMenuExporter()
{
    if (_exported)
        _connection.unregisterObject(_path);
    for (QMenu *menu : std::as_const(_watched))
        menu->removeEventFilter(this);
}

QMenu *QMDBusMenuExporter::menu() const
{
    return _menu;
}

QString QMDBusMenuExporter::textDirection() const
{
    return QApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr");
}

int QMDBusMenuExporter::idOfAction(QAction *action)
{
    if (!action)
        return -1;
    const auto it = _ids.constFind(action);
    if (it != _ids.constEnd())
        return *it;
    const int id = _nextId++;
    _ids.insert(action, id);
    _actions.insert(id, action);
    // A later action may be given the same address: the id goes with the action.
    connect(action, &QObject::destroyed, this, [this, action, id] {
        _ids.remove(action);
        _actions.remove(id);
        _changedItems.remove(id);
    });
    return id;
}

QAction *QMDBusMenuExporter::actionOfId(int id) const
{
    return _actions.value(id);
}

QMenu *QMDBusMenuExporter::menuOfId(int id) const
{
    if (id == 0)
        return _menu;
    QAction *action = actionOfId(id);
    return action ? action->menu() : nullptr;
}

QVariantMap QMDBusMenuExporter::propertiesOfAction(QAction *action) const
{
    QVariantMap properties;
    if (!action)
        return properties;
    if (action->isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
        return properties;
    }
    QString label = labelOfText(action->text());
    // A panel shows no tooltips in menus: why an item is disabled is said in its text.
    const QString why = action->toolTip();
    if (!action->isEnabled() && !why.isEmpty() && why != strippedText(action->text()))
        label += QStringLiteral(" \u2014 ") + labelOfText(QString(why).replace(QLatin1Char('&'), QStringLiteral("&&")));
    properties.insert(QStringLiteral("label"), label);
    properties.insert(QStringLiteral("enabled"), action->isEnabled());
    if (!action->isVisible())
        properties.insert(QStringLiteral("visible"), false);
    if (!action->icon().isNull() && action->isIconVisibleInMenu())
        properties.insert(QStringLiteral("icon-data"), iconData(action->icon()));
    if (action->menu())
        properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    return properties;
}

QMDBusMenuLayoutItem QMDBusMenuExporter::layoutOf(int id, QMenu *menu, int depth, const QStringList &names)
{
    QMDBusMenuLayoutItem item;
    item.id = id;
    if (id == 0)
        item.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    else
        item.properties = filtered(propertiesOfAction(actionOfId(id)), names);
    if (!menu || depth == 0)
        return item;
    watch(menu);
    for (QAction *action : menu->actions()) {
        const int childId = idOfAction(action);
        if (action->menu())
            watch(action->menu());
        item.children << layoutOf(childId, action->menu(), depth < 0 ? -1 : depth - 1, names);
    }
    return item;
}

uint QMDBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                   QMDBusMenuLayoutItem &layout)
{
    layout = layoutOf(parentId, menuOfId(parentId), recursionDepth, propertyNames);
    return _revision;
}

QMDBusMenuItemList QMDBusMenuExporter::GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames)
{
    QMDBusMenuItemList items;
    for (int id : ids) {
        if (id == 0) {
            items << QMDBusMenuItem{0, filtered({{QStringLiteral("children-display"), QStringLiteral("submenu")}},
                                                propertyNames)};
            continue;
        }
        if (QAction *action = actionOfId(id))
            items << QMDBusMenuItem{id, filtered(propertiesOfAction(action), propertyNames)};
    }
    return items;
}

QDBusVariant QMDBusMenuExporter::GetProperty(int id, const QString &name)
{
    return QDBusVariant(propertiesOfAction(actionOfId(id)).value(name));
}

void QMDBusMenuExporter::Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp)
{
    Q_UNUSED(data);
    Q_UNUSED(timestamp);
    if (eventId == QLatin1String("opened")) {
        AboutToShow(id);
        return;
    }
    if (eventId != QLatin1String("clicked"))
        return;
    QPointer<QAction> action = actionOfId(id);
    if (!action || action->isSeparator() || action->menu() || !action->isEnabled())
        return;
    // After the answer: what the item does may take long or ask the user.
    QMetaObject::invokeMethod(
        this,
        [action] {
            if (action && action->isEnabled())
                action->trigger();
        },
        Qt::QueuedConnection);
}

QList<int> QMDBusMenuExporter::EventGroup(const QMDBusMenuEventList &events)
{
    QList<int> idErrors;
    for (const QMDBusMenuEvent &event : events) {
        if (event.id != 0 && !actionOfId(event.id))
            idErrors << event.id;
        else
            Event(event.id, event.eventId, event.data, event.timestamp);
    }
    return idErrors;
}

bool QMDBusMenuExporter::AboutToShow(int id)
{
    QMenu *menu = menuOfId(id);
    return menu && fill(menu);
}

QList<int> QMDBusMenuExporter::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors)
{
    QList<int> updatesNeeded;
    for (int id : ids) {
        QMenu *menu = menuOfId(id);
        if (!menu) {
            idErrors << id;
            continue;
        }
        if (fill(menu))
            updatesNeeded << id;
    }
    return updatesNeeded;
}

bool QMDBusMenuExporter::fill(QMenu *menu)
{
    watch(menu);
    const QList<QAction *> before = menu->actions();
    // What opening it in Qt does: the owner fills it now.
    emit menu->aboutToShow();
    return menu->actions() != before;
}

void QMDBusMenuExporter::watch(QMenu *menu)
{
    if (!menu || _watched.contains(menu))
        return;
    _watched.insert(menu);
    menu->installEventFilter(this);
    connect(menu, &QObject::destroyed, this, [this, menu] { _watched.remove(menu); });
}

bool QMDBusMenuExporter::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
        layoutChanged(static_cast<QMenu *>(watched));
        break;
    case QEvent::ActionChanged:
        propertiesChanged(static_cast<QActionEvent *>(event)->action());
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void QMDBusMenuExporter::layoutChanged(QMenu *menu)
{
    int id = -1;
    if (menu == _menu) {
        id = 0;
    } else {
        for (auto it = _ids.constBegin(); it != _ids.constEnd(); ++it)
            if (it.key()->menu() == menu) {
                id = it.value();
                break;
            }
    }
    if (id < 0)
        return; // not shown to the panel yet
    _changedLayouts.insert(id);
    _flush->start();
}

void QMDBusMenuExporter::propertiesChanged(QAction *action)
{
    const auto it = _ids.constFind(action);
    if (it == _ids.constEnd())
        return;
    _changedItems.insert(*it);
    _flush->start();
}

void QMDBusMenuExporter::flush()
{
    const QSet<int> layouts = std::exchange(_changedLayouts, {});
    const QSet<int> items = std::exchange(_changedItems, {});
    if (!_exported)
        return;
    QMDBusMenuItemList updated;
    QMDBusMenuItemKeysList removed;
    for (int id : items) {
        QAction *action = actionOfId(id);
        if (!action)
            continue;
        const QVariantMap properties = propertiesOfAction(action);
        updated << QMDBusMenuItem{id, properties};
        QStringList gone;
        for (const QString &key : kKnownProperties)
            if (!properties.contains(key))
                gone << key;
        removed << QMDBusMenuItemKeys{id, gone};
    }
    if (!updated.isEmpty())
        emit ItemsPropertiesUpdated(updated, removed);
    if (layouts.isEmpty())
        return;
    ++_revision;
    // One change of the whole menu covers the others.
    if (layouts.contains(0) || layouts.size() > 1) {
        emit LayoutUpdated(_revision, 0);
        return;
    }
    emit LayoutUpdated(_revision, *layouts.constBegin());
}
