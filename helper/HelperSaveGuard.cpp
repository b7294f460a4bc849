#include "HelperSaveGuard.h"

#include "HelperNotifier.h"
#include "QMLog.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskSaveEstimate.h"
#include "QMShutdownInhibitor.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThreadPool>
#include <QTimer>

namespace {

QString dateText(double date)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(date * 1000)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// A save ahead of a shutdown holds the block lock at most this long: a shutdown the user
// insists on is not refused for ever.
constexpr int kCatchUpBoundMs = 10 * 60 * 1000;

const QString kWentDownTitle = QStringLiteral("Quilmo could not save a RAM disk before the computer went down");

} // namespace

HelperSaveGuard::HelperSaveGuard(QMRamDiskEntries *entries, QMShutdownInhibitor *inhibitor, QObject *parent)
    : QObject(parent), _entries(entries), _inhibitor(inhibitor)
{
    _inhibitor->setParent(this);
    // Connected before the schedule is: a save's outcome is in the entries file before the
    // end of the save can let the machine go.
    connect(entries, &QMRamDiskEntries::ramDiskReported, this, [this](const QMRamDiskReport &report) {
        recordOutcome(report);
        refresh();
    });
    _schedule = new QMRamDiskAutoSave(entries, this);
    connect(_schedule, &QMRamDiskAutoSave::allSaved, this, &HelperSaveGuard::finishSaveAll);
    connect(_inhibitor, &QMShutdownInhibitor::aboutToShutDown, this, &HelperSaveGuard::saveBeforeGoing);
    connect(_inhibitor, &QMShutdownInhibitor::aboutToSleep, this, &HelperSaveGuard::saveBeforeGoing);
    connect(entries, &QMRamDiskEntries::ramDisksDidChange, this, &HelperSaveGuard::refresh);
    connect(_schedule, &QMRamDiskAutoSave::saveEnded, this, &HelperSaveGuard::saveEnded);
    connect(_schedule, &QMRamDiskAutoSave::saveSkipped, this, &HelperSaveGuard::disarmUnfinished);

    // The store's own refresh tells of RAM disks mounted or ejected by another program.
    connect(entries, &QMRamDiskEntries::ramDiskUpdatedByUpdator, this, [this] { refresh(); });

    _boundTimer = new QTimer(this);
    _boundTimer->setSingleShot(true);
    connect(_boundTimer, &QTimer::timeout, this, [this] {
        QM_LogErrorMethod(this, QStringLiteral("saveAll==timeout"));
        finishSaveAll();
    });

    _estimateTimer = new QTimer(this);
    _estimateTimer->setInterval(10000);
    connect(_estimateTimer, &QTimer::timeout, this, &HelperSaveGuard::estimateNow);

    _schedule->start();
    refresh();
}

HelperSaveGuard::~HelperSaveGuard() = default;

void HelperSaveGuard::refresh()
{
    const bool guarding = _entries && QMRamDiskAutoSave::needsGuard(_entries->ramDisks());
    _inhibitor->setWanted(guarding);
    if (guarding != _guarding) {
        _guarding = guarding;
        if (guarding) {
            _estimateTimer->start();
            // Mounted with a backup's worth of changes already (the first save of a volume
            // filled from its base): looked at now, not in a while.
            QTimer::singleShot(0, this, &HelperSaveGuard::estimateNow);
        } else {
            _estimateTimer->stop();
        }
        emit guardingChanged(guarding);
    }
}

void HelperSaveGuard::setEstimatePeriod(int milliseconds)
{
    _estimateTimer->setInterval(std::max(10, milliseconds));
}

QList<QMRamDisk::Ptr> HelperSaveGuard::savable() const
{
    QList<QMRamDisk::Ptr> records;
    if (!_entries)
        return records;
    for (const QMRamDisk::Ptr &r : _entries->ramDisks())
        if (QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none && r->status() == QMRamDiskStatus_mounted
            && !r->contentsIncomplete() && r->action() == QMRamDiskAction_none)
            records << r;
    return records;
}

void HelperSaveGuard::estimateNow()
{
    if (_estimating || _catchingUp || _going || _schedule->isSavingAll())
        return;
    struct Pending
    {
        QString identifier, path, copyPath;
        double since, factor;
    };
    QList<Pending> pending;
    for (const QMRamDisk::Ptr &r : savable()) {
        // A save that failed (told already) is not tried again every little while: its
        // schedule tries it, and the save before the shutdown.
        if (_toldFailure.contains(r->identifier()))
            continue;
        pending << Pending{r->identifier(), r->path(), QMRamDiskAutoSave::saveDestinationOf(r), r->lastSaveDate(),
                           r->saveTimeFactor()};
    }
    if (pending.isEmpty())
        return;
    _estimating = true;
    // A scan of every file's status: off the main thread.
    QPointer<HelperSaveGuard> self(this);
    QThreadPool::globalInstance()->start([self, pending] {
        QList<QPair<QString, double>> seconds;
        for (const Pending &p : pending)
            seconds << qMakePair(p.identifier, QMRamDiskSaveEstimate::estimatedSeconds(
                                                   QMRamDiskSaveEstimate::pendingWork(p.path, p.since, p.copyPath), p.factor));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, seconds] {
                if (self)
                    self->estimated(seconds);
            },
            Qt::QueuedConnection);
    });
}

void HelperSaveGuard::estimated(const QList<QPair<QString, double>> &seconds)
{
    _estimating = false;
    // The RAM disks are saved side by side before a shutdown, on one machine: their times add up.
    double total = 0;
    for (const auto &[identifier, s] : seconds)
        total += s;
    const double budget = _inhibitor->inhibitDelayMax() * delayShare;
    if (total > budget && !_going && !_catchingUp)
        catchUp(total, budget);
}

void HelperSaveGuard::catchUp(double seconds, double budget)
{
    QM_LogInfoMethod(this, QStringLiteral("Saving ahead of a shutdown: the changes would take about %1 s to save, "
                                          "%2 s fit in the time logind gives")
                               .arg(seconds, 0, 'f', 1)
                               .arg(budget, 0, 'f', 1));
    _catchingUp = true;
    // Held before a shutdown is asked for: logind checks block locks before it announces one.
    _inhibitor->setBlocking(true);
    QStringList identifiers;
    for (const QMRamDisk::Ptr &r : savable())
        identifiers << r->identifier();
    armUnfinished(identifiers);
    emit catchUpStarted(seconds, budget);
    saveAllThen(
        [this] {
            _catchingUp = false;
            _inhibitor->setBlocking(false);
            emit caughtUp();
        },
        kCatchUpBoundMs);
}

void HelperSaveGuard::armUnfinished(const QStringList &identifiers)
{
    if (!_notifier || !_entries)
        return;
    for (const QString &identifier : identifiers) {
        const QMRamDisk::Ptr r = _entries->ramDiskWithIdentifier(identifier);
        if (!r)
            continue;
        QString text = QStringLiteral("The save of \"%1\" did not end: the computer went down, or Quilmo-Helper was "
                                      "stopped, while it ran, ")
                           .arg(r->name());
        if (r->lastSaveDate() > 0)
            text += QStringLiteral("so the changes made to \"%1\" after %2 were not saved.")
                        .arg(r->name(), dateText(r->lastSaveDate()));
        else
            text += QStringLiteral("so its contents were not saved.");
        _notifier->tellAtNextStartUnlessDone(identifier, kWentDownTitle, text + lastCopyText(r));
        _armed.insert(identifier);
    }
}

void HelperSaveGuard::disarmUnfinished(const QString &identifier)
{
    if (_armed.remove(identifier) && _notifier)
        _notifier->done(identifier);
}

void HelperSaveGuard::saveAllThen(std::function<void()> done, int boundMs)
{
    _whenSaved << std::move(done);
    if (_whenSaved.size() > 1)
        return; // one round saves for every caller
    if (_schedule->saveAll() > 0)
        _boundTimer->start(boundMs);
    // With nothing to save, allSaved() was emitted already and finishSaveAll() ran.
}

bool HelperSaveGuard::isTellingFailuresOf(const QString &identifier) const
{
    return _schedule->isSaving(identifier);
}

void HelperSaveGuard::setNotifier(HelperNotifier *notifier)
{
    _notifier = notifier;
}

void HelperSaveGuard::recordOutcome(const QMRamDiskReport &report)
{
    if (!report.isFinal() || !_entries)
        return;
    // The merging save writes only what changed here, over what the file holds now.
    if (_entries->writeRamDisksToDefaultLocation())
        QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::helperSender());
}

QString HelperSaveGuard::failureText(const QString &identifier) const
{
    const QMRamDisk::Ptr r = _entries ? _entries->ramDiskWithIdentifier(identifier) : nullptr;
    if (!r)
        return {};
    QString text = QStringLiteral("The last save of \"%1\" failed").arg(r->name());
    if (const QMError::Ptr error = r->lastError()) {
        QString why = error->alertMessageText(QString());
        const QString more = error->alertInformativeText(QString());
        if (!more.isEmpty() && more != why)
            why += QLatin1Char(' ') + more;
        text += QStringLiteral(": ") + why;
    }
    text += QLatin1Char('.');
    return text + lastCopyText(r);
}

QString HelperSaveGuard::lastCopyText(const QMRamDisk::Ptr &ramDisk) const
{
    if (ramDisk->lastSaveDate() <= 0)
        return QStringLiteral(" It has no complete copy yet.");
    return QStringLiteral(" Its last complete copy, in %1, holds what it held on %2.")
        .arg(QMRamDiskAutoSave::saveDestinationOf(ramDisk), dateText(ramDisk->lastSaveDate()));
}

void HelperSaveGuard::saveEnded(const QString &identifier, bool succeeded)
{
    // It ended: a failure is told below, the last complete copy is where it was.
    disarmUnfinished(identifier);
    if (succeeded) {
        _toldFailure.remove(identifier);
        _failedGoing.remove(identifier);
        return;
    }
    if (_going) {
        _failedGoing.insert(identifier); // tried again, then told
        return;
    }
    if (_toldFailure.contains(identifier))
        return;
    _toldFailure.insert(identifier);
    if (_notifier)
        _notifier->tell(QStringLiteral("Quilmo could not save a RAM disk"), failureText(identifier));
}

void HelperSaveGuard::saveBeforeGoing()
{
    QM_LogInfoMethod(this, QStringLiteral("Saving the RAM disks before the machine goes"));
    _going = true;
    _failedGoing.clear();
    // logind goes on after its delay whether these saves ended or not.
    QStringList identifiers;
    for (const QMRamDisk::Ptr &r : savable())
        identifiers << r->identifier();
    armUnfinished(identifiers);
    // The lock goes once they are saved (a failed one tried again); logind waits for it,
    // at most its own delay.
    saveAllThen([this] {
        if (_failedGoing.isEmpty()) {
            finishGoing();
            return;
        }
        QM_LogWarningMethod(this, QStringLiteral("Saving again before the machine goes: %1 failed")
                                      .arg(QStringList(_failedGoing.values()).join(QStringLiteral(", "))));
        saveAllThen([this] { finishGoing(); });
    });
}

void HelperSaveGuard::finishGoing()
{
    for (const QString &identifier : std::as_const(_failedGoing)) {
        const QString text = failureText(identifier);
        if (_notifier) {
            _notifier->tellAtNextStart(kWentDownTitle, text);
            _notifier->tell(kWentDownTitle, text);
        } else {
            QM_LogErrorMethod(this, text);
        }
    }
    _failedGoing.clear();
    _going = false;
    if (_inhibitor)
        _inhibitor->release();
    emit savedBeforeGoing();
}

void HelperSaveGuard::finishSaveAll()
{
    _boundTimer->stop();
    // Every save of the round ended (not merely its bound passed): nothing is unfinished.
    if (!_schedule->isSavingAll())
        for (const QString &identifier : QSet<QString>(_armed))
            disarmUnfinished(identifier);
    const QList<std::function<void()>> callbacks = std::exchange(_whenSaved, {});
    for (const std::function<void()> &callback : callbacks)
        callback();
}
