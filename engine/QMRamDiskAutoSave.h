#pragma once

#include "QMRamDisk.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class QMRamDiskEntries;
class QTimer;

// Saves the mounted RAM disks that have a backup mode: each on its schedule
// ("autoSaveInterval"), and all of them at once before the machine or the session goes
// (saveAll()). A save is the record's ordinary action, started through the store, so it
// holds the record's lock, reports like any action and is incremental; it is skipped
// while another action runs on the record (in this program or another one of the user,
// which holds its lock) and while nothing changed on the volume since the last save.
//
// "Changed" is read from the volume itself: a file, folder or link whose status changed
// (ctime: contents, names, modes, owners, attributes, links) since the moment the last
// complete save began, or a file that a process maps shared and writable (its writes need
// not move any time), or a last copy that holds files copied while they were so mapped. The kernel sets that time on every change and nobody can set it
// back, it is there at once (no write-back delay), and it needs no state: a save made by
// another program counts as soon as its date is read from the entries file. The file
// system's write counter was the other candidate: it moves only when written-back pages
// reach the device, seconds after the change, and the lazy initialisation of a fresh
// file system's inode tables moves it for minutes after a creation.
//
// One program runs the schedule: Quilmo-Helper, the program that stays running while
// such a RAM disk is mounted. The per-record lock keeps a save off a record that another
// program is acting on.
class QMRamDiskAutoSave : public QObject
{
    Q_OBJECT

public:
    // `entries` is the store whose records are saved; it must outlive this object.
    explicit QMRamDiskAutoSave(QMRamDiskEntries *entries, QObject *parent = nullptr);
    ~QMRamDiskAutoSave() override;

    // The record's ordinary save: synchronisation with its base for a base-synchronised
    // RAM disk, a backup when it has a backup folder, none without a backup mode.
    static qint64 saveActionOf(const QMRamDisk::Ptr &ramDisk);
    // Where that save copies to: the base backup path, the backup folder, or null.
    static QString saveDestinationOf(const QMRamDisk::Ptr &ramDisk);
    // The intervals offered, in seconds: off, 5, 15, 30 and 60 minutes.
    static QList<qint64> intervalChoices();
    // Whether anything on the volume at `path` changed since `date` (seconds since 1970;
    // 0 = never saved): 1 changed, 0 unchanged, -1 cannot tell (to be treated as changed).
    // A second of margin covers the coarse clock the file system stamps times with.
    // `copyPath`, when given, is where the last save went (see above).
    static int volumeChangedSince(const QString &path, double date, const QString &copyPath = QString());
    // "Saved just now", "Saved 3 minutes ago", ... for a save date; "Never saved" for 0.
    static QString savedText(double lastSaveDate, double now);

    // Whether one of the records is a mounted RAM disk with somewhere to be saved: while
    // there is one, Quilmo-Helper runs for the session and saves it.
    static bool needsGuard(const QList<QMRamDisk::Ptr> &ramDisks);
    // Starts Quilmo-Helper (without a menu unless the tray is wanted) when the records need
    // it and none runs; Quilmo and quilmoctl call it after mounting. False when one was
    // needed and could not be started.
    static bool ensureGuardFor(const QList<QMRamDisk::Ptr> &ramDisks);

    // The schedule: a check of every record each check period (30 s unless set).
    void start();
    void stop();
    bool isRunning() const;
    void setCheckPeriod(int milliseconds);
    // The shortest interval honoured, whatever the entries file holds: 5 minutes unless
    // lowered (tests use 1 second).
    void setMinimumInterval(qint64 seconds);
    qint64 minimumInterval() const { return _minimumInterval; }

    // One round of the schedule, now: every record whose interval has passed is checked
    // for changes (off this thread) and saved when it changed.
    void checkNow();

    // Saves at once every mounted RAM disk with a backup mode that changed since its last
    // save, waiting first for an action that runs on it. allSaved() is emitted when every
    // one of them has ended (at once when there is none). Returns how many are waited for.
    int saveAll();
    bool isSavingAll() const { return _savingAll; }
    // Whether a save of the record started here runs (its final report not yet heard).
    bool isSaving(const QString &identifier) const;

signals:
    // A save was started for the record.
    void saveStarted(const QString &identifier);
    // The record was due, but nothing changed since its last save.
    void saveSkipped(const QString &identifier);
    // The record was due, but is not saved now: an action runs on it (here or in another
    // program), or its contents are incomplete.
    void saveHeldBack(const QString &identifier);
    // The final report of a save started here arrived.
    void saveEnded(const QString &identifier, bool succeeded);
    // Every save that saveAll() waited for has ended.
    void allSaved();

private:
    enum class Stage { Waiting, Checking, Saving };
    struct Pending
    {
        Stage stage = Stage::Waiting;
        bool forAll = false; // part of saveAll()
    };

    void tick();
    // The record may be saved by this object (mounted, a save action, its contents
    // complete), once it is not busy.
    bool canSave(const QMRamDisk::Ptr &ramDisk) const;
    // An action runs on the record, here or in another program of the user.
    static bool isBusy(const QMRamDisk::Ptr &ramDisk);
    // Looks for changes off this thread, then saves or skips.
    void check(const QMRamDisk::Ptr &ramDisk, bool forAll);
    void checked(const QString &identifier, int changed);
    void reported(const QMRamDiskReport &report);
    void finish(const QString &identifier);
    void advanceWaiting();

    QPointer<QMRamDiskEntries> _entries;
    QTimer *_timer = nullptr;
    QTimer *_waitTimer = nullptr; // saveAll(): records busy with another action
    qint64 _minimumInterval = 300;
    // When the schedule last looked at (or first saw mounted) each record.
    QHash<QString, double> _lastAttempt;
    QHash<QString, Pending> _pending;
    bool _savingAll = false;
    // Records whose contents are incomplete, told once in the log.
    QSet<QString> _toldIncomplete;
};
