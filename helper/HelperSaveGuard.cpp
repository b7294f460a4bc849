#include "HelperSaveGuard.h"

#include "QMLog.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMShutdownInhibitor.h"

#include <QTimer>

HelperSaveGuard::HelperSaveGuard(QMRamDiskEntries *entries, QMShutdownInhibitor *inhibitor, QObject *parent)
    : QObject(parent), _entries(entries), _inhibitor(inhibitor)
{
    _inhibitor->setParent(this);
    _schedule = new QMRamDiskAutoSave(entries, this);
    connect(_schedule, &QMRamDiskAutoSave::allSaved, this, &HelperSaveGuard::finishSaveAll);
    connect(_inhibitor, &QMShutdownInhibitor::aboutToShutDown, this, &HelperSaveGuard::saveBeforeGoing);
    connect(_inhibitor, &QMShutdownInhibitor::aboutToSleep, this, &HelperSaveGuard::saveBeforeGoing);
    connect(entries, &QMRamDiskEntries::ramDisksDidChange, this, &HelperSaveGuard::refresh);
    connect(entries, &QMRamDiskEntries::ramDiskReported, this, [this] { refresh(); });

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

void HelperSaveGuard::saveBeforeGoing()
{
    QM_LogInfoMethod(this, QStringLiteral("Saving the RAM disks before the machine goes"));
    // The lock goes once they are saved; logind waits for it, at most its own delay.
    saveAllThen([inhibitor = QPointer<QMShutdownInhibitor>(_inhibitor)] {
        if (inhibitor)
            inhibitor->release();
    });
}

void HelperSaveGuard::finishSaveAll()
{
    _boundTimer->stop();
    const QList<std::function<void()>> callbacks = std::exchange(_whenSaved, {});
    for (const std::function<void()> &callback : callbacks)
        callback();
}
