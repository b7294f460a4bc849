#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

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
// While a save must run to its end before the machine may go (a save ahead of a shutdown
// that would not fit logind's delay), a block lock is held as well (setBlocking()):
// logind then refuses a shutdown or sleep asked for meanwhile, and the desktop names
// Quilmo and why. The delay logind gives (its InhibitDelayMaxUSec) is read once at start.
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
    bool isHeld() const { return _delay.fd >= 0; }

    // Takes the lock (when not held, and no shutdown or sleep is under way) or releases it.
    void setWanted(bool wanted);
    bool isWanted() const { return _delay.wanted; }
    // Lets the announced shutdown or sleep go on: the lock is closed. It is taken again
    // after a resume or a cancelled shutdown, while wanted.
    void release();

    // Takes (true) or closes (false) the block lock. Taken also while the machine is
    // about to go: what runs then is finished before anything else goes.
    void setBlocking(bool blocking);
    bool isBlocking() const { return _block.fd >= 0; }

    // How long logind waits for a delay lock before it goes on anyway, in seconds: its
    // InhibitDelayMaxUSec once read (delayMaxRead()), logind's default of 5 s until then
    // and without logind.
    double inhibitDelayMax() const { return _delayMax; }
    bool delayMaxRead() const { return _delayMaxRead; }
    static constexpr double defaultInhibitDelayMax = 5.0;

    // The texts the lock is taken with: who and why, as logind shows them.
    static QString who();
    static QString why();
    // Why the block lock is held, as the desktop shows it when it refuses to shut down.
    static QString whyBlocking();

signals:
    // logind announced a shutdown or reboot, or a sleep, while the lock was wanted; the
    // lock is still held, until release().
    void aboutToShutDown();
    void aboutToSleep();
    // The machine woke up, or the shutdown was cancelled.
    void resumed();
    // The lock was taken (true) or closed (false).
    void heldChanged(bool held);
    // The block lock was taken (true) or closed (false).
    void blockingChanged(bool blocking);
    // InhibitDelayMaxUSec was read.
    void delayMaxChanged(double seconds);

private slots:
    void onPrepareForShutdown(bool start);
    void onPrepareForSleep(bool start);

private:
    // One lock of logind's: the delay lock or the block lock.
    struct Lock
    {
        QString mode;                           // "delay" or "block"
        QString (*why)();                       // the text it is taken with
        void (QMShutdownInhibitor::*changed)(bool held);
        bool wanted = false;
        bool taking = false;                    // an Inhibit call is on its way
        int fd = -1;
    };

    static QDBusConnection busFromEnvironment();
    void setUp();
    // Whether the lock may be held now: wanted, and the delay lock not while the machine goes.
    bool mayHold(const Lock &lock) const;
    void want(Lock &lock, bool wanted);
    void take(Lock &lock);
    void close(Lock &lock);
    // A shutdown or sleep announced (`start`, told by `announce`), or ended.
    void announced(bool start, void (QMShutdownInhibitor::*announce)());
    void readDelayMax();
    // Inhibit(what, mode): `done` gets a descriptor of its own, or -1 after logging.
    void inhibit(const QString &why, const QString &mode, std::function<void(int fd)> done);

    QDBusConnection _bus;
    bool _available = false;
    bool _going = false;   // between an announcement and the end of the shutdown or sleep
    Lock _delay{QStringLiteral("delay"), &QMShutdownInhibitor::why, &QMShutdownInhibitor::heldChanged};
    Lock _block{QStringLiteral("block"), &QMShutdownInhibitor::whyBlocking, &QMShutdownInhibitor::blockingChanged};
    double _delayMax = defaultInhibitDelayMax;
    bool _delayMaxRead = false;
};
