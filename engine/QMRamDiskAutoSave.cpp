#include "QMRamDiskAutoSave.h"

#include "QMRamDiskUtils.h"

#include "QMFileLock.h"
#include "QMLog.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskEntries.h"
#include "QMVolumeHolders.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

double nowSeconds()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

bool notBefore(const struct timespec &t, const struct timespec &limit)
{
    return t.tv_sec > limit.tv_sec || (t.tv_sec == limit.tv_sec && t.tv_nsec >= limit.tv_nsec);
}

// The scans are small and run one at a time, beside whatever the machine is doing.
QThreadPool *scanPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        return p;
    }();
    return pool;
}

// Another program (Quilmo, quilmoctl) is acting on the record: its lock is held. A save
// started now would be refused with an error the user did not cause; the next round
// looks again.
bool heldByAnotherProgram(const QString &identifier)
{
    const QString directory = QMRamDiskActionLock::lockDirectory();
    if (directory.isNull() || identifier.isEmpty())
        return false; // the action itself reports what is wrong
    QMFileLock probe;
    return probe.tryLock(QMRamDiskActionLock::lockPathForIdentifier(directory, identifier))
           == QMFileLock::Result::Busy;
}

} // namespace

QMRamDiskAutoSave::QMRamDiskAutoSave(QMRamDiskEntries *entries, QObject *parent)
    : QObject(parent), _entries(entries), _timer(new QTimer(this)), _waitTimer(new QTimer(this))
{
    _timer->setInterval(30 * 1000);
    connect(_timer, &QTimer::timeout, this, &QMRamDiskAutoSave::tick);
    _waitTimer->setInterval(100);
    connect(_waitTimer, &QTimer::timeout, this, &QMRamDiskAutoSave::advanceWaiting);
    if (entries)
        connect(entries, &QMRamDiskEntries::ramDiskReported, this, &QMRamDiskAutoSave::reported);
}

QMRamDiskAutoSave::~QMRamDiskAutoSave() = default;

qint64 QMRamDiskAutoSave::saveActionOf(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk)
        return QMRamDiskAction_none;
    // The order of an ejection: a base-synchronised RAM disk's copy is its base.
    if (ramDisk->isBaseSynchronized())
        return QMRamDiskAction_copyToBase;
    if (!ramDisk->backupDirPath().isNull())
        return QMRamDiskAction_backup;
    return QMRamDiskAction_none;
}

QList<qint64> QMRamDiskAutoSave::intervalChoices()
{
    return {0, 5 * 60, 15 * 60, 30 * 60, 60 * 60};
}

QString QMRamDiskAutoSave::saveDestinationOf(const QMRamDisk::Ptr &ramDisk)
{
    switch (saveActionOf(ramDisk)) {
    case QMRamDiskAction_copyToBase:
        return ramDisk->baseBackupPath();
    case QMRamDiskAction_backup:
        return ramDisk->backupDirPath();
    default:
        return {};
    }
}

int QMRamDiskAutoSave::volumeChangedSince(const QString &path, double date, const QString &copyPath)
{
    if (date <= 0)
        return 1;
    if (path.isEmpty())
        return -1;
    // Writes through a shared mapping need not move any time: a file mapped now may hold
    // what the last copy has not, and one mapped when that copy was made may have been
    // written after it was read.
    if (!copyPath.isEmpty() && QMRamDiskBackup::copyHasUnsettledFiles(copyPath))
        return 1;
    const QSet<QPair<quint64, quint64>> mapped = QMVolumeHolders::sharedWritableMappings(path);
    const qint64 ms = qint64(date * 1000.0) - 1000;
    const struct timespec limit = {time_t(ms / 1000), long(ms % 1000) * 1000000L};

    // Depth first with a stack of paths, so that a deep tree holds one descriptor at a time.
    QList<QByteArray> directories{QFile::encodeName(path)};
    struct stat st {};
    if (lstat(directories.first().constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    if (notBefore(st.st_ctim, limit))
        return 1;
    while (!directories.isEmpty()) {
        const QByteArray dirPath = directories.takeLast();
        const int fd = open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!dir) {
            const int why = errno;
            if (fd >= 0)
                close(fd);
            return why == ENOENT ? 1 : -1; // removed since it was listed
        }
        int result = 0;
        errno = 0;
        while (struct dirent *entry = readdir(dir)) {
            const char *name = entry->d_name;
            if (!strcmp(name, ".") || !strcmp(name, "..")) {
                errno = 0;
                continue;
            }
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                result = errno == ENOENT ? 1 : -1;
                break;
            }
            if (notBefore(st.st_ctim, limit) || mapped.contains(qMakePair(quint64(st.st_dev), quint64(st.st_ino)))) {
                result = 1;
                break;
            }
            if (S_ISDIR(st.st_mode))
                directories << dirPath + '/' + name;
            errno = 0;
        }
        if (result == 0 && errno != 0)
            result = -1;
        closedir(dir);
        if (result != 0)
            return result;
    }
    return 0;
}

QString QMRamDiskAutoSave::savedText(double lastSaveDate, double now)
{
    const char *table = "QMRamDiskLocalizable";
    if (lastSaveDate <= 0)
        return QCoreApplication::translate(table, "Never saved");
    const qint64 seconds = std::max<qint64>(0, qint64(now - lastSaveDate));
    if (seconds < 60)
        return QCoreApplication::translate(table, "Saved just now");
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return minutes == 1 ? QCoreApplication::translate(table, "Saved 1 minute ago")
                            : QCoreApplication::translate(table, "Saved %1 minutes ago").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return hours == 1 ? QCoreApplication::translate(table, "Saved 1 hour ago")
                          : QCoreApplication::translate(table, "Saved %1 hours ago").arg(hours);
    const qint64 days = hours / 24;
    return days == 1 ? QCoreApplication::translate(table, "Saved 1 day ago")
                     : QCoreApplication::translate(table, "Saved %1 days ago").arg(days);
}

bool QMRamDiskAutoSave::needsGuard(const QList<QMRamDisk::Ptr> &ramDisks)
{
    for (const QMRamDisk::Ptr &r : ramDisks)
        if (r->status() == QMRamDiskStatus_mounted && saveActionOf(r) != QMRamDiskAction_none)
            return true;
    return false;
}

bool QMRamDiskAutoSave::ensureGuardFor(const QList<QMRamDisk::Ptr> &ramDisks)
{
    return !needsGuard(ramDisks) || QMRamDiskUtils::ensureHelperIsRunning();
}

void QMRamDiskAutoSave::start()
{
    _timer->start();
}

void QMRamDiskAutoSave::stop()
{
    _timer->stop();
}

bool QMRamDiskAutoSave::isRunning() const
{
    return _timer->isActive();
}

void QMRamDiskAutoSave::setCheckPeriod(int milliseconds)
{
    _timer->setInterval(std::max(10, milliseconds));
}

void QMRamDiskAutoSave::setMinimumInterval(qint64 seconds)
{
    _minimumInterval = std::max<qint64>(1, seconds);
}

bool QMRamDiskAutoSave::canSave(const QMRamDisk::Ptr &ramDisk) const
{
    return saveActionOf(ramDisk) != QMRamDiskAction_none && ramDisk->status() == QMRamDiskStatus_mounted
           && !ramDisk->contentsIncomplete();
}

bool QMRamDiskAutoSave::isBusy(const QMRamDisk::Ptr &ramDisk)
{
    return ramDisk->action() != QMRamDiskAction_none || heldByAnotherProgram(ramDisk->identifier());
}

void QMRamDiskAutoSave::checkNow()
{
    tick();
}

void QMRamDiskAutoSave::tick()
{
    if (!_entries)
        return;
    const double now = nowSeconds();
    QSet<QString> scheduled;
    for (const QMRamDisk::Ptr &r : _entries->ramDisks()) {
        const QString id = r->identifier();
        if (saveActionOf(r) == QMRamDiskAction_none || r->autoSaveInterval() <= 0
            || r->status() != QMRamDiskStatus_mounted)
            continue;
        scheduled << id;
        if (_pending.contains(id))
            continue;
        // The first interval runs from the moment the schedule sees the RAM disk mounted:
        // what it held then is its backup, just restored, or was saved by the program
        // that ran the schedule before.
        const auto attempt = _lastAttempt.constFind(id);
        if (attempt == _lastAttempt.constEnd()) {
            _lastAttempt.insert(id, now);
            continue;
        }
        const qint64 interval = std::max(r->autoSaveInterval(), _minimumInterval);
        if (now < std::max(r->lastSaveDate(), *attempt) + double(interval))
            continue;
        if (r->contentsIncomplete()) {
            // Only the user may replace the last complete copy with these contents.
            if (!_toldIncomplete.contains(id)) {
                _toldIncomplete << id;
                QM_LogWarningMethod(this, QStringLiteral("Not saved on schedule, its contents are incomplete: %1")
                                              .arg(r->description()));
            }
            emit saveHeldBack(id);
            continue;
        }
        if (!canSave(r))
            continue;
        if (isBusy(r)) {
            emit saveHeldBack(id); // the next round looks again
            continue;
        }
        _lastAttempt.insert(id, now);
        check(r, false);
    }
    // Forget the RAM disks that went: mounted again, they start a fresh interval.
    for (auto it = _lastAttempt.begin(); it != _lastAttempt.end();) {
        if (scheduled.contains(it.key()))
            ++it;
        else
            it = _lastAttempt.erase(it);
    }
}

void QMRamDiskAutoSave::check(const QMRamDisk::Ptr &ramDisk, bool forAll)
{
    const QString id = ramDisk->identifier();
    Pending &pending = _pending[id];
    pending.stage = Stage::Checking;
    pending.forAll = pending.forAll || forAll;
    const QString path = ramDisk->path();
    const QString copy = saveDestinationOf(ramDisk);
    const double since = ramDisk->lastSaveDate();
    QPointer<QMRamDiskAutoSave> self(this);
    scanPool()->start([self, id, path, copy, since] {
        const int changed = volumeChangedSince(path, since, copy);
        // The receiver may be gone by now; its thread (the main one) is asked to look.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, id, changed] {
                if (self)
                    self->checked(id, changed);
            },
            Qt::QueuedConnection);
    });
}

void QMRamDiskAutoSave::checked(const QString &identifier, int changed)
{
    if (!_pending.contains(identifier))
        return;
    const QMRamDisk::Ptr r = _entries ? _entries->ramDiskWithIdentifier(identifier) : nullptr;
    if (!r || !canSave(r)) {
        finish(identifier);
        return;
    }
    if (isBusy(r)) {
        // Begun meanwhile by another program or this one: saveAll() waits for its end.
        Pending &pending = _pending[identifier];
        if (pending.forAll)
            pending.stage = Stage::Waiting;
        else
            finish(identifier);
        return;
    }
    if (changed == 0) {
        emit saveSkipped(identifier);
        finish(identifier);
        return;
    }
    _pending[identifier].stage = Stage::Saving;
    emit saveStarted(identifier);
    _entries->startAction(saveActionOf(r), r, true);
}

bool QMRamDiskAutoSave::isSaving(const QString &identifier) const
{
    const auto it = _pending.constFind(identifier);
    return it != _pending.constEnd() && it->stage == Stage::Saving;
}

void QMRamDiskAutoSave::reported(const QMRamDiskReport &report)
{
    if (!report.isFinal())
        return;
    const auto it = _pending.constFind(report.identifier);
    if (it == _pending.constEnd() || it->stage != Stage::Saving)
        return;
    emit saveEnded(report.identifier, !report.error);
    finish(report.identifier);
}

void QMRamDiskAutoSave::finish(const QString &identifier)
{
    _pending.remove(identifier);
    if (!_savingAll)
        return;
    for (const Pending &p : std::as_const(_pending))
        if (p.forAll)
            return;
    _savingAll = false;
    _waitTimer->stop();
    emit allSaved();
}

int QMRamDiskAutoSave::saveAll()
{
    if (!_entries)
        return 0;
    int count = 0;
    _savingAll = true;
    for (const QMRamDisk::Ptr &r : _entries->ramDisks()) {
        if (saveActionOf(r) == QMRamDiskAction_none || r->status() != QMRamDiskStatus_mounted
            || r->contentsIncomplete())
            continue;
        const QString id = r->identifier();
        ++count;
        auto it = _pending.find(id);
        if (it != _pending.end()) {
            // A save of the schedule is on its way; what changed after it began is saved
            // when it ends.
            it->forAll = true;
            if (it->stage == Stage::Saving)
                it->stage = Stage::Waiting;
            continue;
        }
        if (isBusy(r))
            _pending.insert(id, Pending{Stage::Waiting, true});
        else
            check(r, true);
    }
    if (count == 0) {
        _savingAll = false;
        emit allSaved();
        return 0;
    }
    _waitTimer->start();
    return count;
}

void QMRamDiskAutoSave::advanceWaiting()
{
    QStringList ready;
    for (auto it = _pending.constBegin(); it != _pending.constEnd(); ++it)
        if (it->stage == Stage::Waiting)
            ready << it.key();
    for (const QString &id : std::as_const(ready)) {
        const QMRamDisk::Ptr r = _entries ? _entries->ramDiskWithIdentifier(id) : nullptr;
        if (!r || r->status() != QMRamDiskStatus_mounted) {
            finish(id); // ejected meanwhile: saved by its ejection
            continue;
        }
        if (!isBusy(r))
            check(r, true);
    }
}
