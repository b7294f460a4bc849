#include "AppDelegate.h"

#include "HelperBackupWait.h"
#include "HelperNotifier.h"
#include "HelperSaveGuard.h"
#include "QMLog.h"
#include "QMShutdownInhibitor.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "StatusMenuController.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An older helper that is asked to quit first lets its running actions end (at most 30 s);
// only one still there after that is forced, so that no copy is cut off half way.
constexpr int kForceTerminateAfterMs = 35000;

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
    for (pid_t pid : QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier())) {
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
    // Checked again when the time is up: a process id may have been given to another
    // program meanwhile, which must not be killed.
    QTimer::singleShot(kForceTerminateAfterMs, QCoreApplication::instance(), [pids] {
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

    // 2. The tray menu, when it is wanted.
    _notifier = new HelperNotifier(this);
    if (_ramDiskEntries->showInMenuBar()) {
        _statusMenuController = new StatusMenuController(this);
        connect(_statusMenuController, &StatusMenuController::quitRequested, this, &AppDelegate::terminate);
        _notifier->setTrayIcon(_statusMenuController->statusItem());
        // The menu tells of its outcomes through the tray; without a tray on the panel,
        // through the desktop's notifications.
        connect(_statusMenuController, &StatusMenuController::userNotified, this,
                [this](const QString &title, const QString &text) {
                    const QSystemTrayIcon *tray = _statusMenuController ? _statusMenuController->statusItem() : nullptr;
                    if (!tray || !tray->isVisible())
                        _notifier->tell(title, text);
                });
        startSaveGuard(_statusMenuController->ramDiskEntries());
    }
    // What the machine's going down kept from being said.
    _notifier->tellPending();

    // 3. One helper at a time: the newest.
    quitOtherInstances();

    // 4. Started by Quilmo: nothing to create.
    if (isStartedFromApp(QCoreApplication::arguments())) {
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
    if (_statusMenuController)
        return;
    // Without a menu the helper still stays while a mounted RAM disk has a backup: it
    // saves it on its schedule and before the machine goes, and quits once none is left.
    // It stays too while a RAM disk waits for its backup's disk.
    _savedEntries = new QMRamDiskEntries(this);
    _savedEntries->readRamDisksFromDefaultLocation();
    const bool waiting = _backupWait && _backupWait->isWaiting();
    if (!HelperSaveGuard::needsGuard(_savedEntries->ramDisks()) && !waiting) {
        terminate();
        return;
    }
    connect(_savedEntries, &QMRamDiskEntries::didChangeToAllNotification, this, [this](const QString &) {
        if (_savedEntries && !_savedEntries->hasRunningAction())
            _savedEntries->readRamDisksFromDefaultLocation();
    });
    _savedEntries->setUpdator(true);
    startSaveGuard(_savedEntries);
    connect(_saveGuard, &HelperSaveGuard::guardingChanged, this, &AppDelegate::quitWhenIdle);
    if (_backupWait)
        connect(_backupWait, &HelperBackupWait::finished, this, &AppDelegate::quitWhenIdle);
}

void AppDelegate::quitWhenIdle()
{
    if (_statusMenuController || !_saveGuard)
        return;
    // What a waiting creation just mounted is in the file: the guard must know it first.
    if (_savedEntries && !_savedEntries->hasRunningAction())
        _savedEntries->readRamDisksFromDefaultLocation();
    if (!_saveGuard->isGuarding() && !(_backupWait && _backupWait->isWaiting()))
        terminate();
}

void AppDelegate::startSaveGuard(QMRamDiskEntries *entries)
{
    if (_saveGuard || !entries)
        return;
    _saveGuard = new HelperSaveGuard(entries, new QMShutdownInhibitor, this);
    _saveGuard->setNotifier(_notifier);
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
            connect(_backupWait, &HelperBackupWait::created, this, [this](const QString &) {
                if (_statusMenuController)
                    _statusMenuController->reloadRamDiskEntries();
                else if (_savedEntries && !_savedEntries->hasRunningAction())
                    _savedEntries->readRamDisksFromDefaultLocation();
            });
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

    // The menu's own store was read before the creations: it learns their devices now.
    if (_statusMenuController && !created.isEmpty())
        _statusMenuController->reloadRamDiskEntries();
    _endingLoginRun = false;
}

bool AppDelegate::applicationShouldTerminate()
{
    if (_ramDiskEntries)
        endLoginRun();
    if (_statusMenuController)
        _statusMenuController->wantTerminate();
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
