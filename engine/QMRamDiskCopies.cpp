// The copies of QMRamDisk: what a creation checks before it attaches anything, and the
// rule that an incomplete volume never replaces the last complete copy by itself.

#include "QMRamDisk.h"

#include "QMLog.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskSaveEstimate.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>

#define QM_MethodReason(receiver, condition)                                                          \
    qm_detail::methodLine(__func__, __LINE__, qm_detail::receiverDescription(receiver), QStringLiteral(condition))

void QMRamDisk::appendWarning(const QString &warning)
{
    std::lock_guard lock(_mutex);
    if (_lastWarning.isEmpty())
        _lastWarning = warning;
    else
        _lastWarning += QLatin1Char('\n') + warning;
}

bool QMRamDisk::backupIsMissing() const
{
    const QString backupDirPath = this->backupDirPath();
    return !backupDirPath.isNull() && lastSaveDate() > 0
           && QMRamDiskBackup::restoreSourceOf(backupDirPath, previousBackupExtension()).isNull();
}

QMError::Ptr QMRamDisk::checkBeforeCreation(quint64 size, QMDirectoryUsage *usage)
{
    const QString backupDirPath = this->backupDirPath();
    if (backupDirPath.isNull())
        return nullptr;
    QMRamDiskBackup *backup = QMRamDiskBackup::sharedInstance();
    const QString source = QMRamDiskBackup::restoreSourceOf(backupDirPath, previousBackupExtension());
    if (source.isNull()) {
        const double saved = lastSaveDate();
        // Saved before, gone now: most likely the disk that holds it is not plugged in. A
        // RAM disk that came up empty would be saved over the real backup at ejection.
        if (backupIsMissing()) {
            const QString when = QDateTime::fromMSecsSinceEpoch(qint64(saved * 1000)).toString(Qt::ISODate);
            return QMError::errorWithMessage(
                QStringLiteral("The backup of the RamDisk is missing (%1); it was last saved on %2. Connect the disk "
                               "that holds it, or turn the backup off to start empty.")
                    .arg(backupDirPath, when),
                QM_MethodReason(this, "backupDirPath==nil"));
        }
        // Never saved: the first creation starts empty; a chosen folder that is not there
        // is worth knowing about before the first ejection tries to save into it.
        if (backupMode() == QMRamDiskBackupMode_chosenDirectory) {
            const QString chosen = QDir::cleanPath(stringByExpandingTildeInPath(backupDir()));
            if (!QMRamDiskBackup::fileExistsAtPath(chosen))
                appendWarning(QStringLiteral("The backup folder %1 does not exist: the RamDisk starts empty").arg(chosen));
        }
        return nullptr;
    }
    if (source != QMRamDiskBackup::resolvedCopyPath(backupDirPath))
        appendWarning(QStringLiteral("The last backup was not completed: the one before it is restored (%1)").arg(source));
    return backup->checkRoomForCopy(source, size, QStringLiteral("backup"), usage);
}

QMError::Ptr QMRamDisk::copyVolumeTo(const QString &volumePath, const QString &destination, CopyRequest request)
{
    if (request == CopyRequest::Automatic && contentsIncomplete())
        return QMError::errorWithMessage(
            QStringLiteral("The RamDisk's contents are incomplete: its restore did not copy everything, so they do not "
                           "replace the last complete copy (%1). Back it up explicitly to replace that copy.")
                .arg(destination),
            QM_MethodReason(this, "contentsIncomplete"));
    if (request == CopyRequest::Explicit && contentsIncomplete())
        return QMError::errorWithMessage(
            QStringLiteral("The RamDisk's contents are incomplete (its restore did not copy everything): backing it up "
                           "would replace the complete copy in %1 with an incomplete one.")
                .arg(destination),
            QM_MethodReason(this, "contentsIncomplete"));
    // The copy holds the contents of the moment it began: a change made while it ran is
    // newer than the save, which is what tells the schedule to save again.
    const double begun = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QElapsedTimer took;
    took.start();
    QMFileCopier::Statistics done;
    // Only a backup folder's copy stays a copy: a base-synchronised one becomes the
    // user's folder again at ejection, and no older copy may share its files then.
    const bool staysACopy = !destination.isEmpty() && destination == backupDirPath();
    QMError::Ptr error = QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(volumePath, destination,
                                                                              previousBackupExtension(), &done,
                                                                              staysACopy);
    if (!error) {
        std::lock_guard lock(_mutex);
        _lastSaveDate = begun;
        _contentsIncomplete = false;
        // What this save cost tells how long the next one will (the save before a shutdown).
        _saveTimeFactor = QMRamDiskSaveEstimate::updatedFactor(_saveTimeFactor, double(took.nsecsElapsed()) / 1e9, done);
    }
    return error;
}

void QMRamDisk::settleInterruptedCopy(const QString &copyPlace)
{
    const QString copyPath = QMRamDiskBackup::resolvedCopyPath(copyPlace);
    if (copyPath.isEmpty())
        return;
    const QString previous = copyPath + QLatin1Char('.') + previousBackupExtension();
    const QString partial = copyPath + QLatin1Char('.') + QMRamDiskBackup::partialExtension();
    QString error;
    if (!QMRamDiskBackup::fileExistsAtPath(copyPath) && QMRamDiskBackup::fileExistsAtPath(previous)) {
        if (QMRamDiskBackup::moveItemAtPath(previous, copyPath, &error))
            QM_LogWarningMethod(this, QStringLiteral("Interrupted copy: %1 moved back to %2").arg(previous, copyPath));
        else
            QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO previous:%1 error:%2").arg(previous, error));
    }
    if (!QMRamDiskBackup::fileExistsAtPath(copyPath))
        return; // nothing complete: what is left is all there is, leave it
    for (const QString &obsolete : {previous, partial}) {
        if (QMRamDiskBackup::fileExistsAtPath(obsolete) && !QMRamDiskBackup::removeItemAtPath(obsolete, &error))
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO path:%1 error:%2").arg(obsolete, error));
    }
}
