#pragma once

#include "QMRamDisk.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>

class HelperNotifier;
class QMRamDiskAutoSave;
class QMRamDiskEntries;
class QMShutdownInhibitor;
class QTimer;

// What the helper does so that nothing is lost when the machine or the session goes: it
// runs the save schedule over a store, holds logind's delay lock while a mounted RAM disk
// has a backup mode, saves them all when a shutdown, reboot or sleep is announced and then
// lets it go on, and saves them before the helper quits.
//
// Every outcome of an action on the store (the date of a save, above all) goes into the
// entries file through the store's merging save, so that the other programs and the next
// login know it. A failed save is never silent: the user is told once (until a save of
// that RAM disk works again) through the notifier, which speaks through the tray icon
// when there is one; the tray menu leaves the failures of these saves to the guard. A save that fails when the machine is
// about to go is tried once more, the lock held meanwhile; if it fails again the user is
// told at once and again at the next start, with what the last complete copy holds.
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
    // Whether a failure of the record's running save is the guard's to tell: a save its
    // schedule started (also before the machine goes).
    bool isTellingFailuresOf(const QString &identifier) const;
    QMShutdownInhibitor *inhibitor() const { return _inhibitor; }

    // Saves every such RAM disk that changed, then calls `done` (at once when there is
    // none). A save that takes longer than `boundMs` is left running and `done` is called:
    // a shutdown or a quit is not held up for ever.
    void saveAllThen(std::function<void()> done, int boundMs = 30000);

    // Reads the records' state again and takes or lets go of the lock accordingly.
    void refresh();

    // Where failures are told; none: the log only.
    void setNotifier(HelperNotifier *notifier);

signals:
    // The guard became needed, or no longer is.
    void guardingChanged(bool guarding);
    // The saves before the machine goes are over (tried again where they failed), and the
    // lock was let go.
    void savedBeforeGoing();

private:
    void saveBeforeGoing();
    void finishSaveAll();
    void recordOutcome(const QMRamDiskReport &report);
    void saveEnded(const QString &identifier, bool succeeded);
    void finishGoing();
    // "The last save of "X" failed: why. Its last complete copy …"
    QString failureText(const QString &identifier) const;

    QPointer<QMRamDiskEntries> _entries;
    QMShutdownInhibitor *_inhibitor = nullptr;
    QMRamDiskAutoSave *_schedule = nullptr;
    QTimer *_boundTimer = nullptr;
    QList<std::function<void()>> _whenSaved;
    bool _guarding = false;
    QPointer<HelperNotifier> _notifier;
    QSet<QString> _toldFailure;   // told once, until a save works again
    QSet<QString> _failedGoing;   // saves that failed while the machine is about to go
    bool _going = false;
};
