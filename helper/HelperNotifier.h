#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>

class QMStatusItem;

// What the helper tells the user of its own accord (a save that failed, a RAM disk that
// waits for its backup's disk): through the tray icon while there is one (which speaks
// through the desktop's notifications, or a balloon of an XEmbed tray), else as a desktop
// notification (org.freedesktop.Notifications on the session bus). What must wait until
// the next start (the machine went down after a failed save) is kept in the helper's
// settings file until then.
class HelperNotifier : public QObject
{
    Q_OBJECT

public:
    explicit HelperNotifier(QObject *parent = nullptr);

    // The tray icon to speak through while it exists; none: notifications only.
    void setStatusItem(QMStatusItem *statusItem);

    void tell(const QString &title, const QString &text);
    // Told at the next start of the helper (tellPending()), also when the machine goes
    // down right after.
    void tellAtNextStart(const QString &title, const QString &text);
    // Tells what was kept for this start, once.
    void tellPending();

    // $XDG_CONFIG_HOME/quilmo/Quilmo-Helper.conf
    static QString settingsFilePath();
    // The call that shows a desktop notification with `title` and `text`.
    static QDBusMessage desktopNotification(const QString &title, const QString &text);

signals:
    // A message went out (to the tray or the bus).
    void told(const QString &title, const QString &text);

private:
    QPointer<QMStatusItem> _statusItem;
};
