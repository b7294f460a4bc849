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
// login", one after the other on a worker thread. It keeps the status menu while the menu
// is wanted, and saves every mounted RAM disk that has a backup mode (on its schedule and
// before the session or the machine goes) for as long as one is mounted. Started by
// Quilmo or quilmoctl with the argument "FromApp" it creates nothing.
//
// The menu is wanted while the list says "show in the tray" and either "at login" too or
// Quilmo has not quit since (the window's quit takes the menu away, not the saves). A
// helper left with neither a menu nor anything to save quits, unless it never had either
// (started by Quilmo with nothing to do, it waits to be told).
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
    // The helper's store: the menu's and the save schedule's, for the helper's lifetime.
    QMRamDiskEntries *helperEntries() const { return _savedEntries; }

    // Whether the tray menu is wanted now (see the class comment).
    bool isMenuWanted() const;
    // Makes or removes the menu as wanted, and quits when nothing is left to do.
    void reconsider();

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
    // The save schedule and the shutdown lock over the helper's store.
    void startSaveGuard();
    void watchQuilmo();
    void scheduleReconsider();

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
    QMRamDiskEntries *_savedEntries = nullptr; // the helper's store (the guard's and the menu's)
    bool _quilmoQuit = false; // Quilmo quit since this helper started or it last started
    bool _hadWork = false;    // a menu was shown or a RAM disk guarded
    bool _reconsiderScheduled = false;
    bool _loggedGuarding = false;
    bool _savedBeforeQuit = false;
    bool _terminating = false;
    bool _endingLoginRun = false;
};
