#include "QMStatusNotifierItem.h"

#include "QMLog.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <QtEndian>

#include <atomic>

QDBusArgument &operator<<(QDBusArgument &argument, const QMStatusNotifierImage &image)
{
    argument.beginStructure();
    argument << image.width << image.height << image.data;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMStatusNotifierImage &image)
{
    argument.beginStructure();
    argument >> image.width >> image.height >> image.data;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMStatusNotifierToolTip &toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.image << toolTip.title << toolTip.description;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMStatusNotifierToolTip &toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.image >> toolTip.title >> toolTip.description;
    argument.endStructure();
    return argument;
}

QString QMStatusNotifierItem::watcherService()
{
    return QStringLiteral("org.kde.StatusNotifierWatcher");
}

QString QMStatusNotifierItem::watcherPath()
{
    return QStringLiteral("/StatusNotifierWatcher");
}

QString QMStatusNotifierItem::itemPath()
{
    return QStringLiteral("/StatusNotifierItem");
}

void QMStatusNotifierItem::registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<QMStatusNotifierImage>();
        qDBusRegisterMetaType<QMStatusNotifierImageList>();
        qDBusRegisterMetaType<QMStatusNotifierToolTip>();
        return true;
    }();
    Q_UNUSED(registered);
}

QMStatusNotifierImageList QMStatusNotifierItem::imagesOfIcon(const QIcon &icon)
{
    QMStatusNotifierImageList images;
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty())
        sizes = {QSize(16, 16), QSize(22, 22), QSize(32, 32), QSize(48, 48)};
    for (const QSize &size : std::as_const(sizes)) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        QMStatusNotifierImage out;
        out.width = image.width();
        out.height = image.height();
        out.data.resize(qsizetype(image.width()) * image.height() * 4);
        auto *dst = reinterpret_cast<quint32 *>(out.data.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *dst++ = qToBigEndian(line[x]); // 0xAARRGGBB as A, R, G, B bytes
        }
        images << out;
    }
    return images;
}

QMStatusNotifierItem::QMStatusNotifierItem(const QDBusConnection &connection, const QString &menuPath, QObject *parent)
    : QObject(parent), _connection(connection), _menuPath(menuPath), _toolTipTitle(QStringLiteral("Quilmo"))
{
    registerTypes();
    static std::atomic<int> instances{0};
    _serviceName = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++instances);
    if (!_connection.isConnected())
        return;
    _exported = _connection.registerObject(itemPath(), this,
                                           QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals
                                               | QDBusConnection::ExportAllProperties);
    if (!_exported) {
        QM_LogErrorMethod(this, QStringLiteral("registerObject==NO path:%1").arg(itemPath()));
        return;
    }
    if (!_connection.registerService(_serviceName)) {
        QM_LogErrorMethod(this, QStringLiteral("registerService==NO name:%1 error:%2")
                                    .arg(_serviceName, _connection.lastError().message()));
        _exported = false;
        _connection.unregisterObject(itemPath());
    }
}

QMStatusNotifierItem::~QMStatusNotifierItem()
{
    if (!_exported)
        return;
    _connection.unregisterService(_serviceName);
    _connection.unregisterObject(itemPath());
}

QString QMStatusNotifierItem::id() const
{
    return QCoreApplication::applicationName();
}

void QMStatusNotifierItem::setIcon(const QIcon &icon)
{
    _images = imagesOfIcon(icon);
    emit NewIcon();
}

void QMStatusNotifierItem::setToolTip(const QString &title, const QString &description)
{
    if (title == _toolTipTitle && description == _toolTipDescription)
        return;
    _toolTipTitle = title;
    _toolTipDescription = description;
    emit NewToolTip();
    emit NewTitle();
}

QMStatusNotifierToolTip QMStatusNotifierItem::toolTip() const
{
    QMStatusNotifierToolTip tip;
    tip.title = _toolTipTitle;
    tip.description = _toolTipDescription;
    return tip;
}

void QMStatusNotifierItem::registerWithWatcher()
{
    if (!_exported)
        return;
    // Not waited for: the watcher may be a program of this very thread's (a test's), and
    // a panel that hangs must not stop the helper.
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService(), watcherPath(), watcherService(),
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << _serviceName;
    auto *watcher = new QDBusPendingCallWatcher(_connection.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<> reply = *w;
        _registered = !reply.isError();
        if (reply.isError())
            QM_LogErrorMethod(this, QStringLiteral("RegisterStatusNotifierItem==NO error:%1").arg(reply.error().message()));
        emit registered(_registered);
    });
}

void QMStatusNotifierItem::Activate(int x, int y)
{
    emit activated(x, y);
}

void QMStatusNotifierItem::SecondaryActivate(int x, int y)
{
    emit activated(x, y);
}

void QMStatusNotifierItem::ContextMenu(int x, int y)
{
    emit activated(x, y);
}

void QMStatusNotifierItem::Scroll(int, const QString &) {}
