#include "HelperSaveGuard.h"

#include "HelperNotifier.h"
#include "QMLog.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMShutdownInhibitor.h"

#include <QDateTime>
#include <QTimer>

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

    // The store's own refresh tells of RAM disks mounted or ejected by another program.
    connect(entries, &QMRamDiskEntries::ramDiskUpdatedByUpdator, this, [this] { refresh(); });

    _boundTimer = new QTimer(this);
    _boundTimer->setSingleShot(true);
    connect(_boundTimer, &QTimer::timeout, this, [this] {
        QM_LogErrorMethod(this, QStringLiteral("saveAll==timeout"));
        finishSaveAll();
    });

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
        emit guardingChanged(guarding);
    }
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
    const QString copy = QMRamDiskAutoSave::saveDestinationOf(r);
    if (r->lastSaveDate() > 0)
        text += QStringLiteral(" Its last complete copy, in %1, holds what it held on %2.")
                    .arg(copy, QDateTime::fromMSecsSinceEpoch(qint64(r->lastSaveDate() * 1000))
                                   .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    else
        text += QStringLiteral(" It has no complete copy yet.");
    return text;
}

void HelperSaveGuard::saveEnded(const QString &identifier, bool succeeded)
{
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
        const QString title = QStringLiteral("Quilmo could not save a RAM disk before the computer went down");
        const QString text = failureText(identifier);
        if (_notifier) {
            _notifier->tellAtNextStart(title, text);
            _notifier->tell(title, text);
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
    const QList<std::function<void()>> callbacks = std::exchange(_whenSaved, {});
    for (const std::function<void()> &callback : callbacks)
        callback();
}
