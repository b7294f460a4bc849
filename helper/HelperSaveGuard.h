#pragma once

#include "QMRamDisk.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

class QMRamDiskAutoSave;
class QMRamDiskEntries;
class QMShutdownInhibitor;
class QTimer;

// What the helper does so that nothing is lost when the machine or the session goes: it
// runs the save schedule over a store, holds logind's delay lock while a mounted RAM disk
// has a backup mode, saves them all when a shutdown, reboot or sleep is announced and then
// lets it go on, and saves them before the helper quits.
class HelperSaveGuard : public QObject
{
    Q_OBJECT

public:
    // `entries` must outlive the guard and run its refresh (setUpdator); the guard owns
    // the inhibitor.
    HelperSaveGuard(QMRamDiskEntries *entries, QMShutdownInhibitor *inhibitor, QObject *parent = nullptr);
    ~HelperSaveGuard() override;

    // Whether a mounted RAM disk of the store has somewhere to be saved
    // (QMRamDiskAutoSave::needsGuard).
    bool isGuarding() const { return _guarding; }

    QMRamDiskAutoSave *schedule() const { return _schedule; }
    QMShutdownInhibitor *inhibitor() const { return _inhibitor; }

    // Saves every such RAM disk that changed, then calls `done` (at once when there is
    // none). A save that takes longer than `boundMs` is left running and `done` is called:
    // a shutdown or a quit is not held up for ever.
    void saveAllThen(std::function<void()> done, int boundMs = 30000);

    // Reads the records' state again and takes or lets go of the lock accordingly.
    void refresh();

signals:
    // The guard became needed, or no longer is.
    void guardingChanged(bool guarding);

private:
    void saveBeforeGoing();
    void finishSaveAll();

    QPointer<QMRamDiskEntries> _entries;
    QMShutdownInhibitor *_inhibitor = nullptr;
    QMRamDiskAutoSave *_schedule = nullptr;
    QTimer *_boundTimer = nullptr;
    QList<std::function<void()>> _whenSaved;
    bool _guarding = false;
};
