#pragma once

#include "QMRamDisk.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

class HelperNotifier;
class QMMountTableWatcher;
class QMRamDiskEntries;

// The RAM disks to create at login whose backup was made once and is missing now (the
// disk that holds it is not plugged in yet): created, one after the other, as soon as the
// mount table changes and their backup is there again. The user is told once, when one
// starts waiting, that it waits and for what.
class HelperBackupWait : public QObject
{
    Q_OBJECT

public:
    explicit HelperBackupWait(HelperNotifier *notifier, QObject *parent = nullptr);
    ~HelperBackupWait() override;

    // Waits for the record's backup. Nothing when it is not missing.
    void add(const QMRamDisk::Ptr &ramDisk);
    bool isWaiting() const { return !_waiting.isEmpty() || !_creating.isEmpty(); }
    QStringList waiting() const { return _waiting; }

    // Looks again now (what a change of the mount table does).
    void check();

signals:
    // A waiting RAM disk was created (the entries file holds its new state).
    void created(const QString &identifier);
    // Nothing is waited for any more.
    void finished();

private:
    void createNext();
    void creationEnded(const QMRamDiskReport &report);

    QPointer<HelperNotifier> _notifier;
    QMMountTableWatcher *_watcher = nullptr;
    QMRamDiskEntries *_entries = nullptr;
    QStringList _waiting;
    QSet<QString> _told;
    QString _creating;
};
