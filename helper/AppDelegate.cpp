#include "AppDelegate.h"

#include "HelperBackupWait.h"
#include "HelperNotifier.h"
#include "HelperSaveGuard.h"
#include "QMLog.h"
#include "QMShutdownInhibitor.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskUtils.h"
#include "StatusMenuController.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {


int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop does the rest. The pipe
    // does not block: while the main thread waits for actions to end, further signals
    // only find a quit already on its way.
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[0], &byte, 1);
    errno = saved;
}

// The start time of a process, in clock ticks since boot; 0 when unknown.
quint64 startTime(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // "pid (comm) state ppid ...": comm may hold spaces; field 22 is the start time.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return fields.size() > 19 ? fields.at(19).toULongLong() : 0;
}

} // namespace

QString AppDelegate::launchArgument()
{
    return QStringLiteral("FromApp");
}

bool AppDelegate::isStartedFromApp(const QStringList &arguments)
{
    return !arguments.isEmpty() && arguments.last() == launchArgument();
}

AppDelegate::AppDelegate(QObject *parent) : QObject(parent) {}

AppDelegate::~AppDelegate()
{
    if (_loginRun) {
        _stopLoginRun = true;
        _loginRun->wait();
    }
    // The guard saves through the stores below: it goes first.
    delete _saveGuard;
    _saveGuard = nullptr;
    delete _statusMenuController;
    delete _ramDiskEntries;
}

QList<pid_t> AppDelegate::olderInstances()
{
    const pid_t self = ::getpid();
    const quint64 myStart = startTime(self);
    QList<pid_t> older;
    for (pid_t pid : QMRamDiskUtils::helperProcessIds()) {
        if (pid == self)
            continue;
        const quint64 start = startTime(pid);
        if (start == 0)
            continue; // gone meanwhile
        // Two started in the same tick: the lower process id counts as the older.
        if (start < myStart || (start == myStart && pid < self))
            older << pid;
    }
    return older;
}

void AppDelegate::quitOtherInstances()
{
    const QList<pid_t> pids = olderInstances();
    if (pids.isEmpty())
        return;
    for (pid_t pid : pids)
        ::kill(pid, SIGTERM);
    // An older helper lets its actions and saves end first (its own bound); only one still
    // there after that is forced. Checked again when the time is up: a process id may have
    // been given to another program meanwhile, which must not be killed.
    QTimer::singleShot(QMRamDiskUtils::helperQuitBoundMs, QCoreApplication::instance(), [pids] {
        const QList<pid_t> still = olderInstances();
        for (pid_t pid : pids) {
            if (!still.contains(pid))
                continue;
            QM_LogErrorMethod("AppDelegate", QStringLiteral("forceTerminate pid:%1").arg(pid));
            ::kill(pid, SIGKILL);
        }
    });
}

void AppDelegate::watchTerminationSignals()
{
    if (gSignalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0) {
        QM_LogErrorMethod(this, QStringLiteral("socketpair==-1"));
        return;
    }
    auto *notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(gSignalPipe[1], &byte, 1) == 1) {
        }
        terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void AppDelegate::applicationDidFinishLaunching()
{
    // 1. The store of the login run, without a delegate.
    _ramDiskEntries = new QMRamDiskEntries(this);
    _ramDiskEntries->readRamDisksFromDefaultLocation();

    // What the helper tells the user of its own accord.
    _notifier = new HelperNotifier(this);

    // The helper's own store, for its whole life: what the menu shows and what the save
    // schedule saves. It follows what the other programs write.
    _savedEntries = new QMRamDiskEntries(this);
    _savedEntries->readRamDisksFromDefaultLocation();
    _savedEntries->setUpdator(true);
    connect(_savedEntries, &QMRamDiskEntries::didChangeToAllNotification, this, [this](const QString &sender) {
        if (sender == QMRamDiskEntries::helperSender())
            return;
        if (!_savedEntries->hasRunningAction())
            _savedEntries->readRamDisksFromDefaultLocation();
        // The settings of the menu may have changed ("show in the tray").
        scheduleReconsider();
    });
    startSaveGuard();
    watchQuilmo();

    // 2. The tray menu, when it is wanted.
    const bool fromApp = isStartedFromApp(QCoreApplication::arguments());
    // A start at login has its work: the login run. Once it is done, the helper stays only
    // for a menu, a RAM disk to save, or one that waits for its backup's disk.
    _hadWork = !fromApp;
    reconsider();
    // What the machine's going down kept from being said. A helper that still runs (it
    // is told to quit below) may yet finish the saves it began.
    QList<qint64> older;
    for (pid_t pid : olderInstances())
        older << qint64(pid);
    _notifier->tellPending(older);

    // 3. One helper at a time: the newest.
    quitOtherInstances();

    // 4. Started by Quilmo (or quilmoctl): nothing to create.
    if (fromApp) {
        QM_LogInfoMethod(this, QStringLiteral("Helper started from the principal app"));
        delete _ramDiskEntries;
        _ramDiskEntries = nullptr;
        return;
    }

    // 5.
    _loginRun = QThread::create([this] { qm_recoverRamDiskEntries(); });
    _loginRun->setObjectName(QStringLiteral("QMLoginRun"));
    _loginRun->start();
}

bool AppDelegate::isMenuWanted() const
{
    return _savedEntries && _savedEntries->showInMenuBar() && (_savedEntries->showInMenuBarAtLogin() || !_quilmoQuit);
}

void AppDelegate::scheduleReconsider()
{
    // From the event loop: the change may come from inside the menu that would go.
    if (_reconsiderScheduled)
        return;
    _reconsiderScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            _reconsiderScheduled = false;
            reconsider();
        },
        Qt::QueuedConnection);
}

void AppDelegate::reconsider()
{
    if (_terminating || !_savedEntries)
        return;
    const bool wanted = isMenuWanted();
    if (wanted && !_statusMenuController) {
        _statusMenuController = new StatusMenuController(this, _savedEntries);
        connect(_statusMenuController, &StatusMenuController::quitRequested, this, &AppDelegate::terminate);
        _notifier->setStatusItem(_statusMenuController->statusItem());
        _statusMenuController->leaveSaveFailuresTo(_saveGuard);
        QM_LogInfoMethod(this, QStringLiteral("Tray menu shown"));
    } else if (!wanted && _statusMenuController) {
        delete _statusMenuController;
        _statusMenuController = nullptr;
        QM_LogInfoMethod(this, QStringLiteral("Tray menu removed: %1")
                                   .arg(_savedEntries->showInMenuBar() ? QStringLiteral("Quilmo quit")
                                                                       : QStringLiteral("not shown in the tray")));
    }
    const bool guarding = _saveGuard && _saveGuard->isGuarding();
    if (guarding != _loggedGuarding) {
        _loggedGuarding = guarding;
        QM_LogInfoMethod(this, guarding ? QStringLiteral("Saving the mounted RAM disks that have a backup until they "
                                                         "are ejected")
                                        : QStringLiteral("No mounted RAM disk left to save"));
    }
    if (_statusMenuController || guarding || (_backupWait && _backupWait->isWaiting())) {
        _hadWork = true;
        return;
    }
    // Nothing to show and nothing to save: a helper that had work is done (after the
    // login run); one started with nothing to do waits to be told.
    if (_hadWork && !_ramDiskEntries && !_loginRun)
        terminate();
}

void AppDelegate::watchQuilmo()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // Quilmo owns its identifier on the session bus while it runs.
    auto *watcher = new QDBusServiceWatcher(QMRamDiskUtils::bundleIdentifier(), bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                _quilmoQuit = newOwner.isEmpty();
                scheduleReconsider();
            });
}

void AppDelegate::qm_recoverRamDiskEntries()
{
    // Strictly one after the other: the next creation starts when the previous one has
    // returned, whether it worked or not (a failure is logged by the engine).
    for (const QMRamDisk::Ptr &r : _ramDiskEntries->ramDisks()) {
        if (_stopLoginRun)
            break;
        if (r->status() != QMRamDiskStatus_notCreated || !r->createAtLogin())
            continue;
        {
            std::lock_guard lock(_createdMutex);
            _created.insert(r->identifier());
        }
        _ramDiskEntries->create(r, false);
        // Refused until the disk that holds its backup is there.
        if (r->status() == QMRamDiskStatus_notCreated && r->backupIsMissing()) {
            std::lock_guard lock(_createdMutex);
            _backupMissing << r->identifier();
        }
    }
    QMetaObject::invokeMethod(this, &AppDelegate::mt_recoveredDidEnd, Qt::QueuedConnection);
}

void AppDelegate::mt_recoveredDidEnd()
{
    if (!_ramDiskEntries)
        return; // already ended by a quit
    endLoginRun();
    // Without a menu the helper still stays while a mounted RAM disk has a backup: it
    // saves it on its schedule and before the machine goes, and quits once none is left.
    reconsider();
}

void AppDelegate::startSaveGuard()
{
    if (_saveGuard || !_savedEntries)
        return;
    _saveGuard = new HelperSaveGuard(_savedEntries, new QMShutdownInhibitor, this);
    _saveGuard->setNotifier(_notifier);
    connect(_saveGuard, &HelperSaveGuard::guardingChanged, this, [this] { scheduleReconsider(); });
}

void AppDelegate::endLoginRun()
{
    // Waiting keeps the event loop turning: a quit asked meanwhile finds the end under way.
    if (!_ramDiskEntries || _endingLoginRun)
        return;
    _endingLoginRun = true;
    // 1. No further creation starts; one still running (a quit during the run) gets its
    // time, at most about 30 s.
    _stopLoginRun = true;
    if (_ramDiskEntries->hasRunningAction()) {
        QM_LogErrorMethod(this, QStringLiteral("hasRunningAction==YES"));
        _ramDiskEntries->waitingEndAll();
    }
    if (_loginRun)
        _loginRun->wait(QDeadlineTimer(30000));

    QSet<QString> created;
    QStringList backupMissing;
    {
        std::lock_guard lock(_createdMutex);
        created = _created;
        backupMissing = std::exchange(_backupMissing, {});
    }
    // Those refused for a missing backup are created when its disk appears.
    if (!backupMissing.isEmpty()) {
        if (!_backupWait) {
            _backupWait = new HelperBackupWait(_notifier, this);
            // The helper's store learns the new RAM disk (the notification of its own
            // sender is not heard), and the guard then saves it.
            connect(_backupWait, &HelperBackupWait::created, this, [this](const QString &) {
                if (_savedEntries && !_savedEntries->hasRunningAction())
                    _savedEntries->readRamDisksFromDefaultLocation();
                scheduleReconsider();
            });
            connect(_backupWait, &HelperBackupWait::finished, this, [this] { scheduleReconsider(); });
        }
        for (const QString &id : std::as_const(backupMissing))
            _backupWait->add(_ramDiskEntries->ramDiskWithIdentifier(id));
        // Plugged in while the login run went on: no change of the mount table to come.
        QTimer::singleShot(0, _backupWait, &HelperBackupWait::check);
    }

    // 2. The new device state of the created RAM disks goes into the file. The store
    // merges with the file as it is now, so what Quilmo saved meanwhile (a setting changed
    // while a backup was restored at login) is kept.
    _ramDiskEntries->writeRamDisksToDefaultLocation();
    if (!created.isEmpty())
        QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::helperSender());

    // 3. Released; a creation still running (cut short after 30 s) keeps it alive.
    if (!_loginRun || _loginRun->isFinished()) {
        delete _loginRun;
        _loginRun = nullptr;
        delete _ramDiskEntries;
    }
    _ramDiskEntries = nullptr;

    // The helper's store was read before the creations: it learns their devices now.
    if (_savedEntries && !created.isEmpty() && !_savedEntries->hasRunningAction())
        _savedEntries->readRamDisksFromDefaultLocation();
    _endingLoginRun = false;
}

bool AppDelegate::applicationShouldTerminate()
{
    if (_ramDiskEntries)
        endLoginRun();
    // The actions started from the menu and the saves of the schedule share the store.
    if (_savedEntries)
        _savedEntries->waitingEndAll();
    return true;
}

void AppDelegate::terminate()
{
    if (_terminating)
        return;
    _terminating = true;
    // The session's end (SIGTERM at logout) and every other quit save first what changed:
    // incremental, so it is quick, and bounded so that a newer helper never has to force us.
    if (_saveGuard && !_savedBeforeQuit) {
        _saveGuard->saveAllThen([this] {
            _savedBeforeQuit = true;
            _terminating = false;
            terminate();
        });
        return;
    }
    if (applicationShouldTerminate())
        QCoreApplication::quit();
}
