#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;

// What the helper tells the user of its own accord (a save that failed, a RAM disk that
// waits for its backup's disk): a message from the tray icon while one is shown, else a
// desktop notification (org.freedesktop.Notifications on the session bus). What must wait
// until the next start (the machine went down after a failed save) is kept in the
// helper's settings file until then.
class HelperNotifier : public QObject
{
    Q_OBJECT

public:
    explicit HelperNotifier(QObject *parent = nullptr);

    // The tray icon to speak through while it is visible; none: notifications only.
    void setTrayIcon(QSystemTrayIcon *trayIcon);

    void tell(const QString &title, const QString &text);
    // Told at the next start of the helper (tellPending()), also when the machine goes
    // down right after.
    void tellAtNextStart(const QString &title, const QString &text);
    // Tells what was kept for this start, once.
    void tellPending();

    // $XDG_CONFIG_HOME/quilmo/Quilmo-Helper.conf
    static QString settingsFilePath();

signals:
    // A message went out (to the tray or the bus).
    void told(const QString &title, const QString &text);

private:
    QPointer<QSystemTrayIcon> _trayIcon;
};
