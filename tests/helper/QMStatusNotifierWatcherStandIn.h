#pragma once

// A stand-in for a panel's org.kde.StatusNotifierWatcher on a test's bus: it takes the
// registrations of items as a panel does, on the connection it is given, and can leave the
// bus and come back as a panel that quits and starts again.

#include "QMDBusMenuExporter.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QStringList>

class StatusNotifierWatcherStandIn : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)

public:
    static QString serviceName() { return QStringLiteral("org.kde.StatusNotifierWatcher"); }

    explicit StatusNotifierWatcherStandIn(const QDBusConnection &bus) : _bus(bus)
    {
        _bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                            QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties);
    }
    ~StatusNotifierWatcherStandIn() override
    {
        leave();
        _bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    }

    bool isConnected() const { return _bus.isConnected(); }
    // Takes the watcher's name, as a panel does when it starts.
    bool appear() { return _bus.registerService(serviceName()); }
    // Gives the name up, as a panel that quits.
    void leave()
    {
        if (_bus.isConnected())
            _bus.unregisterService(serviceName());
        items.clear();
    }

    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredStatusNotifierItems() const { return items; }

    // The services registered since the watcher last appeared, in order, and how many
    // registrations there were in all.
    QStringList items;
    int registrations = 0;

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        // A service name, or a path on the caller's connection.
        items << (service.startsWith(QLatin1Char('/')) ? message.service() : service);
        ++registrations;
        emit StatusNotifierItemRegistered(service);
    }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) {}

signals:
    Q_SCRIPTABLE void StatusNotifierItemRegistered(const QString &service);

private:
    QDBusConnection _bus;
};

// The items whose properties an exported menu told a panel changed (ItemsPropertiesUpdated),
// with each label it was told, in order.
class MenuSignalRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList labelsOf(int id) const { return _labels.value(id); }

public slots:
    void received(const QDBusMessage &message)
    {
        if (message.arguments().isEmpty())
            return;
        const auto updated = qdbus_cast<QMDBusMenuItemList>(message.arguments().at(0).value<QDBusArgument>());
        for (const QMDBusMenuItem &item : updated)
            if (item.properties.contains(QStringLiteral("label")))
                _labels[item.id] << item.properties.value(QStringLiteral("label")).toString();
    }

private:
    QHash<int, QStringList> _labels;
};
