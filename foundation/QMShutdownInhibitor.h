#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// A delay inhibitor of logind ("shutdown:sleep", mode "delay", taken through
// org.freedesktop.login1.Manager.Inhibit on the system bus): while it is held, logind
// announces a shutdown, a reboot or a sleep (PrepareForShutdown(true), PrepareForSleep(true))
// and waits for the lock to be released, at most its InhibitDelayMaxSec, before going on.
//
// The owner says whether it wants the lock (setWanted()); on an announcement it is told
// (aboutToShutDown(), aboutToSleep()), does what it must and calls release(). The lock is
// taken again, while wanted, after a resume or a cancelled shutdown. Every call to logind
// is asynchronous: the main thread never waits for it.
//
// Without a system bus or logind it logs that once and does nothing more. Tests hand it
// another bus: QUILMO_TEST_LOGIND_BUS set to "session" uses the session bus (where a test
// puts a stand-in for logind), any other value is a bus address.
class QMShutdownInhibitor : public QObject
{
    Q_OBJECT

public:
    explicit QMShutdownInhibitor(QObject *parent = nullptr);
    // A given bus (tests).
    QMShutdownInhibitor(const QDBusConnection &bus, QObject *parent = nullptr);
    ~QMShutdownInhibitor() override;

    // Whether logind answered on the bus.
    bool isAvailable() const { return _available; }
    // Whether the lock is held now.
    bool isHeld() const { return _fd >= 0; }

    // Takes the lock (when not held, and no shutdown or sleep is under way) or releases it.
    void setWanted(bool wanted);
    bool isWanted() const { return _wanted; }
    // Lets the announced shutdown or sleep go on: the lock is closed. It is taken again
    // after a resume or a cancelled shutdown, while wanted.
    void release();

    // The texts the lock is taken with: who and why, as logind shows them.
    static QString who();
    static QString why();

signals:
    // logind announced a shutdown or reboot, or a sleep, while the lock was wanted; the
    // lock is still held, until release().
    void aboutToShutDown();
    void aboutToSleep();
    // The machine woke up, or the shutdown was cancelled.
    void resumed();
    // The lock was taken (true) or closed (false).
    void heldChanged(bool held);

private slots:
    void onPrepareForShutdown(bool start);
    void onPrepareForSleep(bool start);

private:
    static QDBusConnection busFromEnvironment();
    void setUp();
    void take();
    void closeLock();

    QDBusConnection _bus;
    bool _available = false;
    bool _wanted = false;
    bool _going = false;   // between an announcement and the end of the shutdown or sleep
    bool _taking = false;  // an Inhibit call is on its way
    int _fd = -1;
};
