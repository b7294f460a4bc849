#include "HelperBackupWait.h"

#include "HelperNotifier.h"
#include "QMLog.h"
#include "QMMountTableWatcher.h"
#include "QMRamDiskEntries.h"

#include <QDateTime>

HelperBackupWait::HelperBackupWait(HelperNotifier *notifier, QObject *parent)
    : QObject(parent), _notifier(notifier), _entries(new QMRamDiskEntries(this))
{
    connect(_entries, &QMRamDiskEntries::ramDiskReported, this, &HelperBackupWait::creationEnded);
}

HelperBackupWait::~HelperBackupWait() = default;

void HelperBackupWait::add(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk || !ramDisk->backupIsMissing())
        return;
    const QString id = ramDisk->identifier();
    if (!_waiting.contains(id))
        _waiting << id;
    if (!_watcher) {
        _watcher = new QMMountTableWatcher(this);
        connect(_watcher, &QMMountTableWatcher::changed, this, &HelperBackupWait::check);
    }
    QM_LogWarningMethod(this, QStringLiteral("Waiting for the backup of %1: %2")
                                  .arg(ramDisk->description(), ramDisk->backupDirPath()));
    if (_told.contains(id))
        return;
    _told << id;
    const QString when = QDateTime::fromMSecsSinceEpoch(qint64(ramDisk->lastSaveDate() * 1000))
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (_notifier)
        _notifier->tell(QStringLiteral("\"%1\" waits for its backup").arg(ramDisk->name()),
                        QStringLiteral("The RAM disk \"%1\" was not created: its backup, last saved on %2, is missing "
                                       "(%3). Connect the disk that holds it: the RAM disk is created as soon as it is "
                                       "there.")
                            .arg(ramDisk->name(), when, ramDisk->backupDirPath()));
}

void HelperBackupWait::check()
{
    // A creation under way looks again when it ends.
    if (_creating.isEmpty())
        createNext();
}

void HelperBackupWait::createNext()
{
    // The list as it is now: another program may have created it, or changed its backup.
    _entries->readRamDisksFromDefaultLocation();
    for (const QString &id : QStringList(_waiting)) {
        const QMRamDisk::Ptr r = _entries->ramDiskWithIdentifier(id);
        if (!r || !r->createAtLogin() || r->status() != QMRamDiskStatus_notCreated || r->backupDirPath().isNull()) {
            _waiting.removeAll(id);
            continue;
        }
        if (r->backupIsMissing())
            continue;
        QM_LogInfoMethod(this, QStringLiteral("The backup of %1 is there: creating it").arg(r->description()));
        _waiting.removeAll(id);
        _creating = id;
        _entries->create(r, true);
        return;
    }
    if (_waiting.isEmpty()) {
        delete _watcher;
        _watcher = nullptr;
        emit finished();
    }
}

void HelperBackupWait::creationEnded(const QMRamDiskReport &report)
{
    if (!report.isFinal() || report.identifier != _creating)
        return;
    _creating.clear();
    if (report.error) {
        QM_LogErrorMethod(this, QStringLiteral("create==NO identifier:%1 error:%2")
                                    .arg(report.identifier, report.error->description()));
        // Gone again meanwhile (the disk was unplugged at once): waited for again.
        const QMRamDisk::Ptr r = _entries->ramDiskWithIdentifier(report.identifier);
        if (r && r->backupIsMissing() && !_waiting.contains(report.identifier))
            _waiting << report.identifier;
    }
    if (_entries->writeRamDisksToDefaultLocation())
        QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::helperSender());
    if (!report.error)
        emit created(report.identifier);
    // The next one, or the end.
    createNext();
}
