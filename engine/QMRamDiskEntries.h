#pragma once

#include "QMFileLock.h"
#include "QMRamDisk.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <limits>
#include <memory>

class QTimer;
class QMRamDiskEntries;

// The user interface behind a store: told of every report of a record's action (on the
// action's thread; hand it to the main thread without waiting) and of every record the
// one-second refresh found changed (on the main thread).
//
// ramDiskEntriesDidReport() carries the report's snapshot (QMRamDiskReport); its default
// passes the record alone to ramDiskEntries(). A receiver that shows the report later, on
// another thread, overrides it and reads the snapshot.
class QMRamDiskEntriesDelegate
{
public:
    virtual ~QMRamDiskEntriesDelegate() = default;
    virtual void ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskDidUpdated) = 0;
    virtual void ramDiskEntriesUpdator(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskUpdated) = 0;
    virtual void ramDiskEntriesDidReport(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDisk,
                                         const QMRamDiskReport &report)
    {
        Q_UNUSED(report);
        ramDiskEntries(entries, ramDisk);
    }
};

// The ordered list of configured RAM disks of one program (at most 15), its entries file
// shared by Quilmo, Quilmo-Helper and quilmoctl, the one-second refresh of the records,
// the helper's login item, and the notification that tells the other programs the file
// changed.
//
// The entries file is a property list at <application support>/RamDiskEntries:
// "RamDiskEntries" (data: a keyed archive of the list of records, each a dictionary of its
// keys and its class name), "showInMenuBar" and "showInMenuBarAtLogin" (booleans); any
// other key is kept as found. Writes replace the file atomically and flush it to disk.
//
// Several programs save at once (Quilmo, Quilmo-Helper, quilmoctl): every write holds the
// lock of the file beside it ("RamDiskEntries.lock") and merges, by identifier, with what
// the file holds then. What this store added, removed, moved or changed since it last read
// or wrote the file goes over the file's records, key by key; everything else is kept as
// the file has it. A record another program removed is removed here too, unless this
// program still needs it (an action holds it, its device exists, or its settings were
// changed here). The file is read without following a symbolic link and only as a regular
// file of sane size; a damaged one is refused whole and kept beside as
// "RamDiskEntries.damaged".
//
// The list is changed on the main thread (or the only thread of a command-line program);
// reading it from other threads is safe. Actions change only their own record.
//
// For the windows, in short:
// - Actions: start them with create(), eject() or startAction(); the store is their
//   delegate. Each report reaches the store's delegate (ramDiskEntriesDidReport, on the
//   action's thread) and the signals ramDiskReported(report) and ramDiskDidUpdate(id),
//   queued to the store's thread. Read the QMRamDiskReport, not the record: queued
//   reports arrive after the record has moved on. The report with action 0 is the outcome.
// - The record's status decides what may run; the engine refuses the rest itself and
//   says why in the outcome (see QMRamDisk::performAction). A second action on a busy
//   record is refused, in this program and in the others (quilmoctl, the other window).
// - ramDisksDidChange() tells that the list itself changed: replaced from the file,
//   reordered, a record added or removed. Rebuild rows from ramDisks(). A record read
//   again from the file stays the object it was (updated in place, unless an action of
//   this program holds it): what an editor holds stays in the list. A read replaces edits
//   not yet written, so write first.
// - ramDiskUpdatedByUpdator(id) and ramDiskEntriesUpdator(): the one-second refresh found
//   a record's status, name, size or free space changed.
// - Quitting: call waitingEndAll() (it keeps the event loop turning while it waits), then
//   writeRamDisksToDefaultLocation(). The store may be deleted after that; an action
//   still running then reports to nobody, never to a dead store.
class QMRamDiskEntries : public QObject, public QMRamDiskActionDelegateProtocol
{
    Q_OBJECT

public:
    static constexpr qsizetype maximumCount = 15;
    // The platform's "not found" index, refused by setPositionIndex().
    static constexpr qint64 NotFound = std::numeric_limits<qint64>::max();

    // The notification's name and the senders of the programs.
    static QString didChangeToAllNotificationName(); // "QMRamDiskEntriesDidChangeToAllNotification"
    static QString appSender();                      // "Quilmo-App"
    static QString helperSender();                   // "Quilmo-Helper"

    // `init` and `initWithDelegate:`: an empty list; nothing is read until asked.
    explicit QMRamDiskEntries(QObject *parent = nullptr);
    explicit QMRamDiskEntries(QMRamDiskEntriesDelegate *delegate, QObject *parent = nullptr);
    ~QMRamDiskEntries() override;

    QMRamDiskEntriesDelegate *delegate() const;
    void setDelegate(QMRamDiskEntriesDelegate *delegate);

    // A copy of the list, in display order.
    QList<QMRamDisk::Ptr> ramDisks() const;
    qsizetype count() const;

    // A new record at the end; none when the list is full.
    QMRamDisk::Ptr addRamDisk();
    // Deletes the record's default-location backups and removes it; returns the record now
    // before it (the first one when it was first), none when the list is empty or the
    // record is not in it. Callers that keep the user's files move the backups to the trash
    // first (QMRamDisk::trashBackupDirs).
    QMRamDisk::Ptr removeEntry(const QMRamDisk::Ptr &ramDisk);

    QMRamDisk::Ptr ramDiskWithIdentifier(const QString &identifier) const;
    qint64 indexOfRamDiskWithIdentifier(const QString &identifier) const;
    // The first record of that name (names need not be unique); for the command line.
    QMRamDisk::Ptr ramDiskWithName(const QString &name) const;

    // Moves the record before the one at `positionIndex` (the gap between rows of a list
    // where something is dropped). False for NotFound, a negative or too large index, an
    // empty list, or an identifier that no record has.
    bool setPositionIndex(qint64 positionIndex, const QString &ofRamDisk);

    // Action entry points (QMRamDiskAction numbers); this store is the record's delegate.
    void create(const QMRamDisk::Ptr &ramDisk, bool inBackground);
    void eject(const QMRamDisk::Ptr &ramDisk, bool inBackground);
    void startAction(qint64 action, const QMRamDisk::Ptr &forRamDisk, bool inBackground);
    // The same; `done` is called with this action's outcome (its final report), on the
    // action's thread, after the store's delegate had it.
    void startAction(qint64 action, const QMRamDisk::Ptr &forRamDisk, bool inBackground,
                     std::function<void(const QMRamDiskReport &outcome)> done);
    // Gives a mounted RAM disk `size` bytes in place (QMRamDiskAction_resize).
    void resize(const QMRamDisk::Ptr &ramDisk, quint64 size, bool inBackground);

    // QMRamDiskActionDelegateProtocol: forwards to the delegate, on the reporting thread,
    // and emits the report signals. ramDiskDidUpdated() reports the record's values now.
    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override;
    void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override;

    // Reads the entries file. True when the list was replaced from it; false when there is
    // no file (silently, *error none) or it cannot be used (logged, *error says why and
    // where a damaged file was kept; the list stays as it was).
    bool readRamDisksFromDefaultLocation();
    bool readRamDisksFromDefaultLocation(QMError::Ptr *error);
    // Merges this store's changes into the file (see above). True when the file was written.
    bool writeRamDisksToDefaultLocation();
    // Whether this store holds settings, an order or records that it has not written since
    // it last read or wrote the file (what the system sees of a volume aside). A read would
    // replace them.
    bool hasUnsavedChanges() const;

    // Holds the file's lock until unlockEntriesFile(): a read, changes and a write made
    // meanwhile are one step for the other programs. Waits for another holder up to the
    // lock timeout (10 s unless set; writers hold it for milliseconds).
    bool lockEntriesFile(QMError::Ptr *error);
    void setEntriesLockTimeout(int milliseconds);
    void unlockEntriesFile();
    // The lock file beside the entries file.
    QString entriesLockPath() const;

    // <application support>/RamDiskEntries, or the path set for this store.
    QString entriesFilePath() const;
    // Another file for this store (tests, or a command line told where to work).
    void setEntriesFilePath(const QString &path);
    static QString defaultEntriesFilePath();

    bool hasRunningAction() const;
    // Waits for running actions, at most 120 rounds of 0.25 s. On the store's own thread
    // the event loop keeps turning meanwhile (queued reports, timers, the window).
    void waitingEndAll();
    void waitingEndAll(int rounds, int intervalMs);

    // How long deleting the store waits for running actions (120 rounds of 0.25 s unless
    // set). An action still running after that reports to nobody.
    void setDeletionWait(int rounds, int intervalMs);

    // The one-second refresh of idle records.
    void setUpdator(bool run);
    bool isUpdatorRunning() const;

    void setNeedsSynchronizeHelper(bool needs);
    bool needsSynchronizeHelper() const;
    void synchronizeHelperAuto();
    // Registers the helper as a login item while it is wanted at login (shown in the menu
    // bar at login, a RAM disk to create at login, or one saved on a schedule) and removes
    // it otherwise.
    void synchronizeHelper();
    // Wanted at login, from the current settings.
    bool helperIsWantedAtLogin() const;

    // Tells every program that the entries file changed; `sender` names the poster. The
    // user information names the file ({"EntriesFile": path}): a store of another file
    // (another user's places, a test's) does not take it for its own.
    static bool postDidChangeToAllNotificationWithSender(const QString &sender,
                                                         const QString &entriesFile = defaultEntriesFilePath());

    bool showInMenuBar() const;
    void setShowInMenuBar(bool show);
    bool showInMenuBarAtLogin() const;
    void setShowInMenuBarAtLogin(bool show);

    // Starts listening on the bus for didChangeToAllNotification (also started, from the
    // event loop, by the first connection to that signal). Call on the store's thread.
    void startObserving();

    // "<QMRamDiskEntries: 0x...> N records": the receiver text of log lines.
    QString description() const;

signals:
    // A record's action reported a step or its outcome (queued to the receiver's thread).
    void ramDiskDidUpdate(const QString &identifier);
    // The same report, with the values of its moment.
    void ramDiskReported(const QMRamDiskReport &report);
    // The list changed: read from the file, reordered, added to or removed from.
    void ramDisksDidChange();
    // The refresh found a record changed.
    void ramDiskUpdatedByUpdator(const QString &identifier);
    // Some program (this one included: `fromThisProcess`) announced a change of this
    // store's entries file; the receiver ignores its own. Connecting to it starts listening
    // on the bus.
    void didChangeToAllNotification(const QString &sender, bool fromThisProcess);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    class DelegateProxy;

    // What the file held when this store last read or wrote it.
    struct Baseline
    {
        QStringList order;                  // identifiers, in the file's order
        QHash<QString, QVariantMap> values; // each record's archived keys
        QStringList assigned;               // identifiers given to records that had none
        bool showInMenuBar = false;
        bool showInMenuBarAtLogin = false;
    };

    void updatorTick();
    // Waits for running actions; processes events meanwhile when asked and possible.
    void waitForActions(int rounds, int intervalMs, bool processEvents);

    mutable QMutex _mutex; // guards the list and the flags, never held across a tool
    QList<QMRamDisk::Ptr> _ramDisks;
    QMRamDiskEntriesDelegate *_delegate = nullptr;
    QTimer *_updator = nullptr;
    bool _needsSynchronizeHelper = false;
    bool _showInMenuBar = false;
    bool _showInMenuBarAtLogin = false;
    bool _observing = false;
    QString _entriesFilePath;
    Baseline _baseline;
    std::unique_ptr<QMFileLock> _fileLock;
    int _entriesLockTimeoutMs = 10000;
    int _deletionWaitRounds = 120;
    int _deletionWaitIntervalMs = 250;
    // What actions report to: lets go of this store when it is deleted.
    std::shared_ptr<DelegateProxy> _proxy;
};
