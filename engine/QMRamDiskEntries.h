#pragma once

#include "QMRamDisk.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <limits>

class QTimer;
class QMRamDiskEntries;

// The user interface behind a store: told of every report of a record's action (on the
// action's thread; hand it to the main thread without waiting) and of every record the
// one-second refresh found changed (on the main thread).
class QMRamDiskEntriesDelegate
{
public:
    virtual ~QMRamDiskEntriesDelegate() = default;
    virtual void ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskDidUpdated) = 0;
    virtual void ramDiskEntriesUpdator(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskUpdated) = 0;
};

// The ordered list of configured RAM disks of one program (at most 15), its entries file
// shared by Quilmo, Quilmo-Helper and quilmoctl, the one-second refresh of the records,
// the helper's login item, and the notification that tells the other programs the file
// changed.
//
// The entries file is a property list at <application support>/RamDiskEntries:
// "RamDiskEntries" (data: a keyed archive of the list of records, each a dictionary of its
// keys and its class name), "showInMenuBar" and "showInMenuBarAtLogin" (booleans); any
// other key is kept as found. Writes replace the file atomically; the last writer wins.
//
// The list is changed on the main thread (or the only thread of a command-line program);
// reading it from other threads is safe. Actions change only their own record.
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
    // record is not in it.
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

    // QMRamDiskActionDelegateProtocol: forwards to the delegate, on the reporting thread.
    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override;

    // Reads the entries file. True when the list was replaced from it; false when there is
    // no file (silently) or it cannot be used (logged; the list stays as it was).
    bool readRamDisksFromDefaultLocation();
    // True when the file was written.
    bool writeRamDisksToDefaultLocation();

    // <application support>/RamDiskEntries, or the path set for this store.
    QString entriesFilePath() const;
    // Another file for this store (tests, or a command line told where to work).
    void setEntriesFilePath(const QString &path);
    static QString defaultEntriesFilePath();

    bool hasRunningAction() const;
    // Waits for running actions, at most 120 rounds of 0.25 s.
    void waitingEndAll();
    void waitingEndAll(int rounds, int intervalMs);

    // The one-second refresh of idle records.
    void setUpdator(bool run);
    bool isUpdatorRunning() const;

    void setNeedsSynchronizeHelper(bool needs);
    bool needsSynchronizeHelper() const;
    void synchronizeHelperAuto();
    // Registers the helper as a login item while it is wanted at login (shown in the menu
    // bar at login, or a RAM disk to create at login) and removes it otherwise.
    void synchronizeHelper();
    // Wanted at login, from the current settings.
    bool helperIsWantedAtLogin() const;

    // Tells every program that the entries file changed; `sender` names the poster.
    static bool postDidChangeToAllNotificationWithSender(const QString &sender);

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
    // The refresh found a record changed.
    void ramDiskUpdatedByUpdator(const QString &identifier);
    // Some program (this one included) announced a change of the entries file; the
    // receiver ignores its own sender. Connecting to it starts listening on the bus.
    void didChangeToAllNotification(const QString &sender);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    void updatorTick();

    mutable QMutex _mutex; // guards the list and the flags, never held across a tool
    QList<QMRamDisk::Ptr> _ramDisks;
    QMRamDiskEntriesDelegate *_delegate = nullptr;
    QTimer *_updator = nullptr;
    bool _needsSynchronizeHelper = false;
    bool _showInMenuBar = false;
    bool _showInMenuBarAtLogin = false;
    bool _observing = false;
    QString _entriesFilePath;
};
