// The creation pipeline of QMRamDisk: from a configured record to a mounted, filled volume.

#include "QMRamDisk.h"

#include "QMDiskToolPaths.h"
#include "QMFinderTools.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSaveFile>

#include <cerrno>
#include <cstring>


#define QM_MethodReason(receiver, condition)                                                          \
    qm_detail::methodLine(__func__, __LINE__, qm_detail::receiverDescription(receiver), QStringLiteral(condition))

namespace {

QString localizedMessage(const char *key)
{
    return QMTranslations::localizedString(key);
}

// Fills the "%@" places of a localized text in order.
QString fillPlaceholders(QString text, const QStringList &values)
{
    for (const QString &value : values) {
        const qsizetype at = text.indexOf(QLatin1String("%@"));
        if (at < 0)
            break;
        text.replace(at, 2, value);
    }
    return text;
}

} // namespace

bool QMRamDisk::holdsNothingOfTheUsers(const QString &path)
{
    QStringList names;
    if (!QMRamDiskBackup::contentsOfDirectoryAtPath(path, &names, nullptr))
        return false;
    for (const QString &name : std::as_const(names)) {
        if (!QMFinderTools::isSystemFileNameInFolder(name, 0))
            return false;
    }
    return true;
}

QString QMRamDisk::datedRecoveryPath(const QString &basePath)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
    QString candidate = QStringLiteral("%1 (Quilmo Recovered Base %2)").arg(basePath, stamp);
    for (int n = 2; QMRamDiskBackup::fileExistsAtPath(candidate); ++n)
        candidate = QStringLiteral("%1 (Quilmo Recovered Base %2 %3)").arg(basePath, stamp).arg(n);
    return candidate;
}

// The moved-aside base is the only copy of the user's directory while the RAM disk is
// mounted. One left behind (a crash, a power loss, a failed creation) is the newest copy
// of that directory: it goes back in place when the base is missing or holds nothing of
// the user's, and is kept under a dated name beside it otherwise. Never deleted.
bool QMRamDisk::recoverLeftoverBase(const QString &basePath, const QString &baseBackupPath)
{
    settleInterruptedCopy(baseBackupPath);
    if (!QMRamDiskBackup::fileExistsAtPath(baseBackupPath))
        return true;

    bool baseIsDirectory = false;
    const bool baseExists = QMRamDiskBackup::fileExistsAtPath(basePath, &baseIsDirectory);
    QString error;
    if (!baseExists
        || (baseIsDirectory && QMRamDiskDevice::hasMountedVolumeAtPath(basePath) == QMMountStateNone
            && holdsNothingOfTheUsers(basePath))) {
        if (!baseExists || QMRamDiskBackup::removeItemAtPath(basePath, &error)) {
            if (QMRamDiskBackup::moveItemAtPath(baseBackupPath, basePath, &error)) {
                QM_LogWarningMethod(this, QStringLiteral("Recovered base: %1 moved back to %2")
                                              .arg(baseBackupPath, basePath));
                appendWarning(QStringLiteral("The contents that an earlier run left aside were put back in %1")
                                  .arg(basePath));
                return true;
            }
        }
        QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO baseBackupPath:%1 basePath:%2 error:%3")
                                    .arg(baseBackupPath, basePath, error));
    }

    const QString recoveryPath = datedRecoveryPath(basePath);
    if (!QMRamDiskBackup::moveItemAtPath(baseBackupPath, recoveryPath, &error)) {
        QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO baseBackupPath:%1 recoveryPath:%2 error:%3")
                                    .arg(baseBackupPath, recoveryPath, error));
        return false;
    }
    QM_LogWarningMethod(this, QStringLiteral("Kept base left behind by an earlier run beside the current one: %1 moved to %2")
                                  .arg(baseBackupPath, recoveryPath));
    appendWarning(QStringLiteral("Contents that an earlier run left aside were kept in %1").arg(recoveryPath));
    return true;
}

// Undoes the move of the base when the creation stops before the volume is mounted.
void QMRamDisk::restoreMovedBase(const QString &basePath, const QString &baseBackupPath)
{
    if (!recoverLeftoverBase(basePath, baseBackupPath))
        QM_LogErrorMethod(this, QStringLiteral("restoreMovedBase==NO basePath:%1").arg(basePath));
}

void QMRamDisk::setVolumeIconIfAny(const QString &volumePath)
{
    const QString volIconPath = volumePath + QStringLiteral("/.VolumeIcon.icns");
    if (!QFileInfo::exists(volIconPath))
        return;
    // Linux file managers take a folder's icon from its ".directory" entry.
    const QImage icon(volIconPath);
    bool set = false;
    if (!icon.isNull()) {
        QSaveFile file(volumePath + QStringLiteral("/.directory"));
        if (file.open(QIODevice::WriteOnly)) {
            file.write("[Desktop Entry]\nIcon=./.VolumeIcon.icns\n");
            set = file.commit();
        }
    }
    if (!set)
        QM_LogErrorMethod(this, QStringLiteral("icon==nil || setIcon==NO volIconPath:%1").arg(volIconPath));
}

bool QMRamDisk::createWithDelegate(QMRamDiskActionDelegateProtocol *delegate, QMError::Ptr *outError)
{
    QMError::Ptr lastError;
    auto finish = [&](bool result) {
        if (outError)
            *outError = lastError;
        return result;
    };

    qint64 type, format, mdIndexMode, backupMode;
    QString name, mountDirectory, postCmd, identifier;
    quint64 size;
    bool preferWired, doNotCalculateBaseSize;
    std::optional<QStringList> postCmdArgs;
    {
        std::lock_guard lock(_mutex);
        type = _type;
        format = _format;
        mdIndexMode = _mdIndexMode;
        backupMode = _backupMode;
        name = _name;
        mountDirectory = _mountDirectory;
        postCmd = _postCmd;
        identifier = _identifier;
        size = _size;
        preferWired = _preferWired;
        doNotCalculateBaseSize = _doNotCalculateBaseSize;
        postCmdArgs = _postCmdArgs;
    }

    // A second device mounted over this record's volume would have the mount step eject
    // the first one without saving it: a mounted RAM disk is rebuilt, never re-created.
    update();
    if (status() == QMRamDiskStatus_mounted) {
        lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                              QM_MethodReason(this, "status==mounted"),
                                              QStringLiteral("The RamDisk is already mounted at %1").arg(path()));
        return finish(false);
    }
    // Its device, unmounted, still holds the RAM disk's files: mounted again, never
    // replaced by a second device that would leave the first one's files unreachable.
    if (status() == QMRamDiskStatus_created) {
        inform(delegate, QMRamDiskActionInfo_creatingMoutingVolume, nullptr);
        if (QMError::Ptr mountError = mountRecordedDevice()) {
            lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                                  QM_MethodReason(this, "mountDeviceNode"), mountError);
            return finish(false);
        }
        update();
        return finish(true);
    }

    // 0. Validation.
    QString message;
    if (!QMRamDiskManager::canCreateWithName(name, size, type, mountDirectory, &message)) {
        lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                              QM_MethodReason(this, "canStatus==NO"));
        return finish(false);
    }
    if (type != QMRamDiskType_default) {
        // The preset's place may have moved since the record was configured.
        changeToType(type, ChangeTypeOptionKeepSizeAndBackup);
        std::lock_guard lock(_mutex);
        name = _name;
        mountDirectory = _mountDirectory;
    }

    // This record's RAM disk already mounted where it goes (left by a creation that was
    // killed after mounting it): taken back with everything written to it since.
    if (adoptMountedVolume(QMRamDiskDevice::mountPathForDirectory(mountDirectory, name)))
        return finish(true);

    const bool baseSynchronized = type == QMRamDiskType_CoreSimulator
                                  || (!mountDirectory.isEmpty() && backupMode == QMRamDiskBackupMode_baseSynchronized);
    const bool removeDir = type == QMRamDiskType_default
                           && (backupMode != QMRamDiskBackupMode_baseSynchronized || mountDirectory.isEmpty());

    // The backup must be there when one was made, and fit, before anything is attached.
    // The items to copy (backup and base) decide how many inodes the format gets.
    QMDirectoryUsage toCopy;
    if (QMError::Ptr checkError = checkBeforeCreation(size, &toCopy)) {
        lastError = checkError;
        return finish(false);
    }
    QString copied = toCopy.inodes > 0 ? QStringLiteral("backup") : QString();

    // 1. The base directory.
    const QString basePath = mountDirectory.isEmpty() ? QString()
                                                      : QDir::cleanPath(mountDirectory + QLatin1Char('/') + name);
    const QString baseBackupPath = basePath.isEmpty() ? QString() : basePath + baseBackupSuffix();
    QString movedBase;
    if (baseSynchronized && !basePath.isEmpty()) {
        recoverLeftoverBase(basePath, baseBackupPath);
        if (!doNotCalculateBaseSize) {
            inform(delegate, QMRamDiskActionInfo_creatingCalculatingBaseDirSize, nullptr);
            if (QMRamDiskBackup::fileExistsAtPath(basePath)) {
                // Bytes as allocated (holes cost nothing) and items, hard links once.
                QMDirectoryUsage usage;
                QString usageError;
                if (!QMGetDirectoryUsage(QFile::encodeName(basePath), &usage, &usageError)) {
                    lastError = QMError::errorWithMessage(localizedMessage("Unable to calculate size of base directory."),
                                                          QM_MethodReason(this, "executeCommand==NO"), usageError);
                    return finish(false);
                }
                if (double(usage.allocatedBytes) * 1.5 >= double(size)) {
                    lastError = QMError::errorWithMessage(
                        fillPlaceholders(localizedMessage("Insufficient space to create RamDisk (RamDisk: %@, Base: %@)"),
                                         {QMFunctions::stringFromBytesWithBin1024Style(qint64(size)),
                                          QMFunctions::stringFromBytesWithBin1024Style(qint64(usage.allocatedBytes))}),
                        QM_MethodReason(this, "directoryStatistics.totalSize"));
                    return finish(false);
                }
                if (QMError::Ptr roomError = QMRamDiskBackup::checkRoom(usage, size, QStringLiteral("base"), basePath)) {
                    lastError = roomError;
                    return finish(false);
                }
                toCopy.inodes += usage.inodes;
                toCopy.dataBytes += usage.dataBytes;
                toCopy.directories += usage.directories;
                copied = copied.isEmpty() ? QStringLiteral("base") : QStringLiteral("base and backup");
                QString error;
                // A leftover that could be neither put back nor set aside may be the only
                // copy of the user's directory: stop rather than delete it.
                if (QMRamDiskBackup::fileExistsAtPath(baseBackupPath)) {
                    lastError = QMError::errorWithMessage(
                        fillPlaceholders(localizedMessage("Unable to delete previous backup base (%@)"),
                                         {stringByExpandingTildeInPath(baseBackupPath)}),
                        QM_MethodReason(this, "removeItemAtPath==NO"),
                        QStringLiteral("it may hold the only copy of %1").arg(basePath));
                    return finish(false);
                }
                if (QMRamDiskBackup::fileExistsAtPath(basePath)) {
                    if (!QMRamDiskBackup::moveItemAtPath(basePath, baseBackupPath, &error)) {
                        lastError = QMError::errorWithMessage(
                            fillPlaceholders(localizedMessage("Unable to move current base (%@) before create RamDisk"),
                                             {stringByExpandingTildeInPath(basePath)}),
                            QM_MethodReason(this, "removeItemAtPath==NO"), error);
                        return finish(false);
                    }
                    movedBase = baseBackupPath;
                }
            }
        }
    }

    // Until the volume is mounted, a failure puts the base back where it was.
    struct BaseGuard
    {
        QMRamDisk *self;
        QString basePath, movedBase;
        ~BaseGuard()
        {
            if (!movedBase.isEmpty())
                self->restoreMovedBase(basePath, movedBase);
        }
    } baseGuard{this, basePath, movedBase};

    // 2. The RAM device.
    inform(delegate, QMRamDiskActionInfo_creating, nullptr);
    QMError::Ptr error;
    const QString deviceNode = QMRamDiskDevice::attachDeviceWithSize(size, preferWired, &error);
    if (deviceNode.isEmpty()) {
        lastError = error;
        return finish(false);
    }

    // 3. The file system.
    inform(delegate, QMRamDiskActionInfo_creatingNewFileSystem, nullptr);
    if (!QMRamDiskDevice::formatDeviceNode(deviceNode, name, format, &error,
                                           QMRamDiskDevice::inodeCountForItems(size, toCopy.inodes,
                                                                               QMRamDeviceKindOfDevice(deviceNode)))) {
        lastError = error;
        QMRamDiskDevice::ejectRamDiskDeviceNode(deviceNode, QString(), removeDir);
        return finish(false);
    }

    // 4. Mount.
    inform(delegate, QMRamDiskActionInfo_creatingMoutingVolume, nullptr);
    QString mountedPath;
    if (QMError::Ptr mountError = QMRamDiskDevice::mountDeviceNode(deviceNode, mountDirectory, name, format, type,
                                                                   identifier, &mountedPath)) {
        lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                              QM_MethodReason(this, "mountDeviceNode"), mountError);
        QMRamDiskDevice::ejectRamDiskDeviceNode(deviceNode, QString(), removeDir);
        return finish(false);
    }
    // What the fresh volume really holds, now that it is there: a copy that cannot fit
    // would leave it incomplete.
    if (!copied.isEmpty()) {
        if (QMError::Ptr roomError = QMRamDiskBackup::sharedInstance()->checkRoomOnVolume(
                toCopy, mountedPath, size, copied, movedBase.isEmpty() ? backupDirPath() : movedBase)) {
            lastError = roomError;
            if (QMError::Ptr ejectError = QMRamDiskDevice::ejectRamDiskDeviceNode(deviceNode, mountedPath, removeDir))
                QM_LogErrorMethod(this, QStringLiteral("ejectRamDiskDeviceNode==NO error:%1").arg(ejectError->description()));
            return finish(false);
        }
    }
    baseGuard.movedBase.clear();
    quint64 volSize = 0, volFree = 0;
    QString attrsError;
    if (!QMRamDisk::readVolumeSizes(mountedPath, &volSize, &volFree, &attrsError))
        QM_LogErrorMethod(this, QStringLiteral("attrs==nil mountedPath:%1 e:%2").arg(mountedPath, attrsError));
    {
        std::lock_guard lock(_mutex);
        _status = QMRamDiskStatus_mounted;
        _deviceNode = deviceNode;
        _path = mountedPath;
        _volSize = volSize;
        _volFree = volFree;
    }

    // A copy that missed anything leaves the volume marked, so that no automatic copy
    // replaces the complete one with it.
    bool copiedEverything = true;

    // 5. The base back onto the RAM disk. It stays aside until the ejection puts the RAM
    // disk's contents in its place.
    if (!movedBase.isEmpty()) {
        inform(delegate, QMRamDiskActionInfo_creatingRecopingFromBase, nullptr);
        if (QMError::Ptr restoreError = QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(mountedPath, movedBase)) {
            lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                                  QM_MethodReason(this, "restoreRamDiskAtPath"), restoreError);
            copiedEverything = false;
        }
    }

    // 6. The backup.
    const QString backupDirPath = this->backupDirPath();
    if (!backupDirPath.isNull()) {
        inform(delegate, QMRamDiskActionInfo_creatingRestoring, nullptr);
        if (QMError::Ptr restoreError =
                QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(mountedPath, backupDirPath)) {
            lastError = QMError::errorWithMessage(localizedMessage("Unable to create RamDisk"),
                                                  QM_MethodReason(this, "restoreRamDiskAtPath"), restoreError);
            copiedEverything = false;
        }
    }
    setContentsIncomplete(!copiedEverything);

    // 7. The volume's own icon, best effort.
    setVolumeIconIfAny(mountedPath);

    // 8. The post-command, run in the volume.
    const QString command = stringByExpandingTildeInPath(postCmd.trimmed());
    if (!command.isEmpty()) {
        inform(delegate, QMRamDiskActionInfo_creatingExecutingPostCommand, nullptr);
        qint64 status = -1;
        QString stdOut, stdErr;
        const bool ran = QMFunctions::executeCommand(command, postCmdArgs.value_or(QStringList()), std::nullopt,
                                                     mountedPath, &status, &stdOut, &stdErr);
        if (!ran || status != 0) {
            lastError = QMError::errorWithMessage(localizedMessage("Can not execute post-command"),
                                                  QM_MethodReason(this, "runPostCommand"), stdErr);
            return finish(false);
        }
    }

    // 9. The RAM disk is there.
    bool result = true;

    // 10. The search index.
    if (mdIndexMode == QMRamDiskMdIndexMode_on || mdIndexMode == QMRamDiskMdIndexMode_off) {
        inform(delegate, QMRamDiskActionInfo_creatingMdIndexMode, nullptr);
        QList<QStringList> runs{{QStringLiteral("-i"),
                                 mdIndexMode == QMRamDiskMdIndexMode_on ? QStringLiteral("on") : QStringLiteral("off"),
                                 mountedPath}};
        if (mdIndexMode == QMRamDiskMdIndexMode_off)
            runs << QStringList{QStringLiteral("-E"), mountedPath} << QStringList{QStringLiteral("-d"), mountedPath};
        const QString mdutil = QMDiskToolPaths::pathForTool(QMDiskTool::Mdutil);
        for (const QStringList &args : std::as_const(runs)) {
            qint64 status = -1;
            QString stdOut, stdErr;
            if (!QMFunctions::executeCommand(mdutil, args, &status, &stdOut, &stdErr) || status != 0) {
                lastError = QMError::errorWithMessage(localizedMessage("Can not apply status of MD Index"),
                                                      QM_MethodReason(this, "executeCommand==NO"), stdErr);
                result = false;
                break;
            }
        }
    }
    return finish(result);
}
