#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <mutex>

#include <sys/types.h>

class HelperBackupWait;
class HelperNotifier;
class HelperSaveGuard;
class QMRamDiskEntries;
class QThread;
class StatusMenuController;

// The helper's application object: at login it creates every RAM disk marked "create at
// login", one after the other on a worker thread, and quits when the tray menu is not
// wanted; while it is wanted it keeps the status menu. Started by Quilmo with the argument
// "FromApp" it creates nothing.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    static QString launchArgument(); // "FromApp"
    // True when the last argument (after the program itself) is "FromApp".
    static bool isStartedFromApp(const QStringList &arguments);

    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    // The start-up sequence, once the event loop runs.
    void applicationDidFinishLaunching();
    // The login creation run (worker thread).
    void qm_recoverRamDiskEntries();
    // Its end (main thread): waits, writes, releases, and quits without a status menu.
    void mt_recoveredDidEnd();
    // Lets the running actions end; the answer is always "terminate now". RAM disks are
    // never ejected when the helper quits.
    bool applicationShouldTerminate();
    // The orderly quit: asked by "Quit Quilmo Menu", by SIGTERM, SIGINT or SIGHUP, by Quilmo
    // or by a newer helper.
    void terminate();

    QMRamDiskEntries *ramDiskEntries() const { return _ramDiskEntries; }
    StatusMenuController *statusMenuController() const { return _statusMenuController; }
    HelperSaveGuard *saveGuard() const { return _saveGuard; }
    HelperNotifier *notifier() const { return _notifier; }
    // The RAM disks of the login run that wait for their backup's disk; none when none do.
    HelperBackupWait *backupWait() const { return _backupWait; }

    // The other helpers of this installation run by this user that started before this
    // one (a newer helper is never ended by an older one).
    static QList<pid_t> olderInstances();
    // Ends them without waiting here: SIGTERM, then SIGKILL for one still there once it
    // had the time to let its own actions end.
    static void quitOtherInstances();

    // Turns SIGTERM, SIGINT and SIGHUP into terminate() from the event loop.
    void watchTerminationSignals();

private:
    void endLoginRun();
    // The save schedule and the shutdown lock over `entries`.
    void startSaveGuard(QMRamDiskEntries *entries);
    // Without a menu: quits once nothing is left to save or to wait for.
    void quitWhenIdle();

    QMRamDiskEntries *_ramDiskEntries = nullptr;
    StatusMenuController *_statusMenuController = nullptr;
    QThread *_loginRun = nullptr;
    std::atomic<bool> _stopLoginRun{false};
    std::mutex _createdMutex;
    QSet<QString> _created; // identifiers of the RAM disks the login run created
    QStringList _backupMissing; // refused by the login run: their backup is not there
    HelperNotifier *_notifier = nullptr;
    HelperBackupWait *_backupWait = nullptr;
    HelperSaveGuard *_saveGuard = nullptr;
    QMRamDiskEntries *_savedEntries = nullptr; // the guard's own store, without a menu
    bool _savedBeforeQuit = false;
    bool _terminating = false;
    bool _endingLoginRun = false;
};
