#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

// Notifications between Quilmo's programs (the main application, the menu-bar helper and
// quilmoctl) as signals on the D-Bus session bus. Every program hears every notification,
// its own included; a receiver tells them apart by the sender string (the "object"), and
// its own posts from those of another copy of itself (the window of another session says
// "Quilmo-App" too) by `fromThisProcess`.
//
// On the bus: path "/org/quilmo/Quilmo", interface "org.quilmo.Quilmo.Notifications",
// signal "Posted" with (s name, s object, a{sv} userInfo).
class QMDistributedNotificationCenter : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kPath = "/org/quilmo/Quilmo";
    static constexpr const char *kInterface = "org.quilmo.Quilmo.Notifications";
    static constexpr const char *kMember = "Posted";

    // The process's center, created on first use in the main thread's object tree.
    static QMDistributedNotificationCenter *defaultCenter();

    // Sends the notification and returns once the bus has it, so a program may quit right
    // after posting. Without a session bus it logs a warning and returns false. Callable
    // from any thread.
    static bool postNotificationName(const QString &name, const QString &object, const QVariantMap &userInfo = {});

    // True once the center listens on the bus.
    bool isObserving() const { return _observing; }

signals:
    // Delivered on the main thread for each notification heard on the bus.
    void notificationPosted(const QString &name, const QString &object, const QVariantMap &userInfo,
                            bool fromThisProcess);

private slots:
    void busSignal(const QString &name, const QString &object, const QVariantMap &userInfo,
                   const QDBusMessage &message);

private:
    explicit QMDistributedNotificationCenter(QObject *parent = nullptr);
    bool _observing = false;
};
