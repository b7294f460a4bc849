// The actions of QMRamDisk after its creation: dispatch, copy to base, back up, remount,
// eject, clean up, rebuild, and the refresh from the system.

#include "QMRamDisk.h"

#include "QMFileRemover.h"
#include "QMFinderTools.h"
#include "QMLog.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"
#include "QMVolumeRoot.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

// ---- Dispatch ----

qint64 QMRamDisk::reserveAction(qint64 action)
{
    std::lock_guard lock(_mutex);
    if (_action != QMRamDiskAction_none)
        return _action;
    _action = action;
    _lastWarning = QString();
    return QMRamDiskAction_none;
}

namespace {

// The step a refused action reports its outcome with: the one its own final report uses.
qint64 finalInfoOfAction(qint64 action, qint64 current)
{
    switch (action) {
    case QMRamDiskAction_create:
        return QMRamDiskActionInfo_creating;
    case QMRamDiskAction_copyToBase:
        return QMRamDiskActionInfo_copyingToBase;
    case QMRamDiskAction_backup:
        return QMRamDiskActionInfo_backuping;
    case QMRamDiskAction_remount:
        return QMRamDiskActionInfo_remounting;
    case QMRamDiskAction_eject:
        return QMRamDiskActionInfo_ejecting;
    case QMRamDiskAction_rebuild:
        return QMRamDiskActionInfo_rebuildEnd;
    case QMRamDiskAction_resize:
        return QMRamDiskActionInfo_resizing;
    default:
        return current; // clean-up has no step of its own
    }
}

} // namespace

void QMRamDisk::performAction(qint64 action, QMRamDiskActionDelegateProtocol *delegate, bool threaded)
{
    // The caller keeps its delegate alive: borrowed, not owned.
    performAction(action, std::shared_ptr<QMRamDiskActionDelegateProtocol>(
                              std::shared_ptr<QMRamDiskActionDelegateProtocol>(), delegate),
                  threaded);
}

void QMRamDisk::performAction(qint64 action, const std::shared_ptr<QMRamDiskActionDelegateProtocol> &delegate,
                              bool threaded)
{
    if (action < QMRamDiskAction_create || action > QMRamDiskAction_last)
        return;
    // The check and the mark are one step, so two callers can never both start.
    if (const qint64 running = reserveAction(action)) {
        qm_detail::criticalException(__func__, __LINE__, description(), className(),
                                     QStringLiteral("An other action is running:%1").arg(running));
        return;
    }

    bool newThread = threaded;
    if (action == QMRamDiskAction_copyToBase || action == QMRamDiskAction_backup || action == QMRamDiskAction_rebuild)
        newThread = true;
    else if (action == QMRamDiskAction_cleanUpFiles)
        newThread = false;

    if (!newThread) {
        runAction(action, delegate.get());
        return;
    }
    // The thread holds the record and the delegate for the whole action.
    Ptr self = shared_from_this();
    try {
        std::thread([self, action, delegate] { self->runAction(action, delegate.get()); }).detach();
    } catch (const std::system_error &e) {
        endAction();
        QM_LogErrorMethod(this, QStringLiteral("std::thread==NO error:%1").arg(QString::fromLocal8Bit(e.what())));
        inform(delegate.get(), lastActionInfo(),
               QMError::errorWithMessage(QStringLiteral("Unable to start the action"),
                                         qm_detail::methodLine(__func__, __LINE__, description(),
                                                               QStringLiteral("std::thread==NO")),
                                         QString::fromLocal8Bit(e.what())));
    }
}

void QMRamDisk::endAction()
{
    // The lock goes first: once `action` is 0 the next action may start at once.
    std::lock_guard guard(_mutex);
    _actionLock.reset();
    _action = QMRamDiskAction_none;
    _replacesIncompleteCopy = false;
}

QMError::Ptr QMRamDisk::checkStatusAllowsAction(qint64 action)
{
    update();
    const qint64 status = this->status();
    const char *function = __func__;
    auto refuse = [&](const char *message, const char *condition) {
        return QMError::errorWithMessage(QMTranslations::localizedString(message),
                                         qm_detail::methodLine(function, __LINE__, description(),
                                                               QString::fromLatin1(condition)));
    };
    switch (action) {
    case QMRamDiskAction_create:
        // A created device whose volume is not mounted is mounted again by the pipeline.
        if (status == QMRamDiskStatus_mounted)
            return refuse("The RamDisk is already mounted", "status==mounted");
        return nullptr;
    case QMRamDiskAction_remount:
        if (status == QMRamDiskStatus_mounted)
            return refuse("The RamDisk is already mounted", "status==mounted");
        if (status != QMRamDiskStatus_created)
            return refuse("The RamDisk is not created", "status!=created");
        return nullptr;
    case QMRamDiskAction_copyToBase:
        if (!isBaseSynchronized())
            return refuse("The RamDisk is not synchronized with a base directory", "isBaseSynchronized==NO");
        [[fallthrough]];
    case QMRamDiskAction_backup:
    case QMRamDiskAction_cleanUpFiles:
        // Only the record's own volume, mounted and tagged: a copy of whatever else is at
        // its place (the empty directory an outside unmount leaves) would replace the
        // last good copy.
        if (status != QMRamDiskStatus_mounted)
            return refuse("The RamDisk is not mounted", "status!=mounted");
        return nullptr;
    case QMRamDiskAction_resize:
        if (status != QMRamDiskStatus_mounted)
            return refuse("The RamDisk is not mounted", "status!=mounted");
        return checkCanResizeTo(resizeTarget());
    default:
        return nullptr;
    }
}

void QMRamDisk::runAction(qint64 action, QMRamDiskActionDelegateProtocol *delegate)
{
    if (action == QMRamDiskAction_cleanUpFiles)
        setLastError(nullptr); // it reports nothing when it succeeds

    // Another program's action on the same RAM disk is refused as one of this program's
    // is; the status is read only once the lock is ours, as that action may have changed it.
    QMError::Ptr refusal;
    const QString identifier = this->identifier();
    if (!identifier.isEmpty()) {
        std::shared_ptr<QMRamDiskActionLock> lock = QMRamDiskActionLock::acquire(identifier, action, &refusal);
        std::lock_guard guard(_mutex);
        _actionLock = std::move(lock);
    }
    if (!refusal)
        refusal = checkStatusAllowsAction(action);
    if (refusal) {
        endAction();
        inform(delegate, finalInfoOfAction(action, lastActionInfo()), refusal);
        return;
    }

    switch (action) {
    case QMRamDiskAction_create:
        performCreate(delegate);
        break;
    case QMRamDiskAction_copyToBase:
        performSyncWithBase(delegate);
        break;
    case QMRamDiskAction_backup:
        performBackup(delegate);
        break;
    case QMRamDiskAction_remount:
        performRemount(delegate);
        break;
    case QMRamDiskAction_eject:
        performEject(delegate);
        break;
    case QMRamDiskAction_cleanUpFiles:
        // Clean-up reports only what it could not delete.
        if (QMError::Ptr error = performCleanUpFiles()) {
            endAction();
            inform(delegate, finalInfoOfAction(action, lastActionInfo()), error);
        } else {
            endAction();
        }
        break;
    case QMRamDiskAction_rebuild:
        performRebuild(delegate);
        break;
    case QMRamDiskAction_resize:
        performResize(delegate);
        break;
    default:
        endAction();
        break;
    }
}

// ---- Perform operations ----

void QMRamDisk::performCreate(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_create);
    inform(delegate, QMRamDiskActionInfo_creating, nullptr);
    QMError::Ptr error;
    createWithDelegate(delegate, &error);
    endAction();
    inform(delegate, QMRamDiskActionInfo_creating, error);
}

void QMRamDisk::performSyncWithBase(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_copyToBase);
    inform(delegate, QMRamDiskActionInfo_copyingToBase, nullptr);
    const QString basePath = baseBackupPath();
    QMError::Ptr error = checkOwnVolumeBeforeCopy(path());
    if (!error)
        error = copyVolumeTo(path(), basePath, CopyRequest::Automatic);
    if (error)
        QM_LogErrorMethod(this, QStringLiteral("backupRamDiskAtPath basePath:%1 error:%2")
                                    .arg(basePath, error->description()));
    endAction();
    inform(delegate, QMRamDiskActionInfo_copyingToBase, error);
}

void QMRamDisk::performBackup(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_backup);
    inform(delegate, QMRamDiskActionInfo_backuping, nullptr);
    QMError::Ptr error;
    // Asked for by the user: it replaces the last complete copy with contents that are
    // incomplete only once the user confirmed it. A base-synchronised RAM disk's copy is
    // its base.
    QString destination = backupDirPath();
    if (destination.isNull() && isBaseSynchronized())
        destination = baseBackupPath();
    if (!destination.isNull()) {
        error = checkOwnVolumeBeforeCopy(path());
        if (!error)
            error = copyVolumeTo(path(), destination,
                                 replacesIncompleteCopy() ? CopyRequest::Confirmed : CopyRequest::Explicit);
    }
    endAction();
    inform(delegate, QMRamDiskActionInfo_backuping, error);
}

QMError::Ptr QMRamDisk::mountRecordedDevice()
{
    QString deviceNode, mountDirectory, name, identifier, mountedPath;
    qint64 format, type;
    {
        std::lock_guard lock(_mutex);
        deviceNode = _deviceNode;
        mountDirectory = _mountDirectory;
        name = _name;
        identifier = _identifier;
        format = _format;
        type = _type;
    }
    QMError::Ptr error =
        QMRamDiskDevice::mountDeviceNode(deviceNode, mountDirectory, name, format, type, identifier, &mountedPath);
    if (!error)
        setPath(mountedPath);
    return error;
}

QString QMRamDisk::ownDeviceMountedAt(const QString &mountPath) const
{
    QVariantMap tag;
    // Nothing there yet (a first creation) is no error: the mount makes the directory.
    if (mountPath.isEmpty() || !QFileInfo::exists(mountPath)
        || QMRamDiskDevice::hasMountedVolumeAtPath(mountPath) != QMMountStateMounted
        || !QMRamDiskDevice::getExtentedRamDiskInfos(&tag, mountPath)
        || tag.value(QStringLiteral("identifier")).toString() != identifier())
        return {};
    // A tag is only believed for the device really mounted there.
    const QString device = tag.value(QStringLiteral("deviceNode")).toString();
    if (device.isEmpty() || QMRamDiskDevice::deviceNodeFromPath(mountPath, nullptr) != device)
        return {};
    return device;
}

QMError::Ptr QMRamDisk::checkOwnVolumeBeforeCopy(const QString &path) const
{
    // Whatever else is at the record's place (the empty directory an outside unmount
    // leaves, another volume) must never become the copy that replaces the last one.
    const QString device = ownDeviceMountedAt(path);
    if (!device.isEmpty() && device == deviceNode())
        return nullptr;
    return QMError::errorWithMessage(QMTranslations::localizedString("The RamDisk is not mounted"),
                                     qm_detail::methodLine(__func__, __LINE__, description(),
                                                           QStringLiteral("isOwnVolume==NO path:%1").arg(path)),
                                     QStringLiteral("%1 is not this RAM disk's mounted volume; nothing was copied")
                                         .arg(path.isEmpty() ? QStringLiteral("(no path)") : path));
}

bool QMRamDisk::adoptMountedVolume(const QString &mountPath)
{
    const QString device = ownDeviceMountedAt(mountPath);
    if (device.isEmpty())
        return false;
    {
        std::lock_guard lock(_mutex);
        _deviceNode = device;
        _path = mountPath;
    }
    update();
    if (status() != QMRamDiskStatus_mounted)
        return false;
    QM_LogWarningMethod(this, QStringLiteral("Adopted RamDisk found mounted: %1 device:%2").arg(mountPath, device));
    // The creation that left it may have died half way through filling it: while a complete
    // copy exists, no automatic copy may replace it with what the volume holds.
    const QString copy = isBaseSynchronized() ? baseBackupPath() : backupDirPath();
    const bool completeCopyExists =
        !copy.isEmpty() && !QMRamDiskBackup::restoreSourceOf(copy, previousBackupExtension()).isNull();
    if (completeCopyExists) {
        setContentsIncomplete(true);
        setLastWarning(QStringLiteral("This RAM disk was found mounted at %1 and taken back as it is. It may not hold "
                                      "everything of its last copy: back it up to keep what it holds, or eject it "
                                      "by force to keep the last copy.")
                           .arg(mountPath));
    } else {
        setLastWarning(QStringLiteral("This RAM disk was found mounted at %1 and taken back as it is.").arg(mountPath));
    }
    return true;
}

void QMRamDisk::performRemount(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_remount);
    inform(delegate, QMRamDiskActionInfo_remounting, nullptr);
    QMError::Ptr error;
    // Mounting over its own mounted volume would eject it first: already there is done.
    update();
    if (status() != QMRamDiskStatus_mounted) {
        error = mountRecordedDevice();
        update();
    }
    endAction();
    inform(delegate, QMRamDiskActionInfo_remounting, error);
}

void QMRamDisk::performEject(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_eject);
    QMError::Ptr error = eject(delegate);
    endAction();
    inform(delegate, QMRamDiskActionInfo_ejecting, error);
}

void QMRamDisk::performRebuild(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_rebuild);
    QMError::Ptr error = eject(delegate);
    if (!error) {
        // The ejection marked its copy step; the record is rebuilding again.
        setAction(QMRamDiskAction_rebuild);
        if (!createWithDelegate(delegate, &error))
            QM_LogErrorMethod(this, QStringLiteral("icreateWithDelegate==NO"));
    }
    endAction();
    inform(delegate, QMRamDiskActionInfo_rebuildEnd, error);
}

bool QMRamDisk::canResizeInPlace() const
{
    return action() == QMRamDiskAction_none && status() == QMRamDiskStatus_mounted
           && QMRamDeviceKindOfDevice(deviceNode()) == QMRamDeviceKind::MemoryInstance;
}

QMError::Ptr QMRamDisk::checkCanResizeTo(quint64 size) const
{
    const QString device = deviceNode();
    QString message;
    QString condition;
    if (QMRamDeviceKindOfDevice(device) != QMRamDeviceKind::MemoryInstance) {
        message = QMTranslations::localizedString("This RamDisk can not change its size while it is mounted: eject it, "
                                                  "change its size and create it again.");
        condition = QStringLiteral("isMemoryInstance==NO device:%1").arg(device);
    } else if (!QMRamDiskManager::canResizeToSize(size, volSize() - std::min(volSize(), volFree()), &message)) {
        condition = QStringLiteral("canResizeToSize==NO size:%1").arg(size);
    } else {
        return nullptr;
    }
    return QMError::errorWithMessage(message, qm_detail::methodLine(__func__, __LINE__, description(), condition));
}

void QMRamDisk::performResize(QMRamDiskActionDelegateProtocol *delegate)
{
    setAction(QMRamDiskAction_resize);
    inform(delegate, QMRamDiskActionInfo_resizing, nullptr);
    const quint64 target = resizeTarget();
    QMError::Ptr error = QMRamDiskDevice::resizeDeviceNode(deviceNode(), target);
    if (!error)
        setSize(target);
    update();
    endAction();
    inform(delegate, QMRamDiskActionInfo_resizing, error);
}

QMError::Ptr QMRamDisk::performCleanUpFiles()
{
    const QString dirPath = path();
    if (dirPath.isEmpty()) {
        QM_CriticalException(this, "dirPath==nil");
        return nullptr;
    }
    const QString cleanPath = QDir::cleanPath(dirPath);
    if (cleanPath == QLatin1String("/") || cleanPath == QLatin1String("/Volumes")
        || cleanPath == QDir::cleanPath(QDir::homePath())
        || cleanPath == QDir::cleanPath(QMRamDiskDevice::defaultVolumesDirectory())) {
        qm_detail::criticalException(__func__, __LINE__, description(), className(),
                                     QStringLiteral("dirPath:%1").arg(dirPath));
        return nullptr;
    }
    const QString message = QMTranslations::localizedString("Unable to delete all files of the RamDisk");
    // Everything at the top level goes: the volume is held open once it is known to be
    // this RAM disk's, and every name is removed beneath it, so that neither a stale path
    // nor a folder swapped for a link sends the deletion elsewhere.
    QString why;
    const QMUniqueFd root = QMVolumeRoot::open(dirPath, identifier(), &why);
    if (!root.isValid()) {
        QM_LogErrorMethod(this, QStringLiteral("isRamDiskVolume==NO dirPath:%1").arg(dirPath));
        return QMError::errorWithMessage(message, qm_detail::methodLine(__func__, __LINE__, description(),
                                                                        QStringLiteral("isRamDiskVolume==NO")),
                                         why);
    }
    const QMFileRemover::Result removal = QMFileRemover::removeContents(
        root.get(), dirPath,
        [](const QByteArray &name) { return QMRamDiskBackup::isSystemNameKeptByCleanUp(QFile::decodeName(name)); });
    if (removal.ok())
        return nullptr;
    QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO filePath:%1 error:%2").arg(dirPath, removal.summary()));
    return QMError::errorWithMessage(
        message, qm_detail::methodLine(__func__, __LINE__, description(), QStringLiteral("removeItemAtPath==NO")),
        QMTranslations::localizedString("These items could not be deleted: %1").arg(removal.summary()));
}

// ---- Ejection ----

QMError::Ptr QMRamDisk::eject(QMRamDiskActionDelegateProtocol *delegate)
{
    update();

    const bool baseSynchronized = isBaseSynchronized();
    const QString backupDirPath = this->backupDirPath();
    const QString mountPoint = basePath();
    const QString baseBackupPath = this->baseBackupPath();
    qint64 status = this->status();

    // No device of this record exists any more: its last device node may by now be
    // another RAM disk's, which must not be detached. A base left aside goes back.
    if (status == QMRamDiskStatus_notCreated) {
        if (baseSynchronized && !mountPoint.isEmpty())
            recoverLeftoverBase(mountPoint, baseBackupPath);
        setPath(QString());
        update();
        return nullptr;
    }

    // Unmounted behind our back, the device still holds the contents: mount it again so
    // that they are saved, rather than copying the empty directory left in its place.
    if (status == QMRamDiskStatus_created && (baseSynchronized || !backupDirPath.isNull())) {
        if (QMError::Ptr error = mountRecordedDevice())
            return error;
        update();
        status = this->status();
    }

    QString path, deviceNode;
    qint64 type, backupMode;
    {
        std::lock_guard lock(_mutex);
        path = _path;
        deviceNode = _deviceNode;
        type = _type;
        backupMode = _backupMode;
    }
    const bool removeDir = type == QMRamDiskType_default
                           && (backupMode != QMRamDiskBackupMode_baseSynchronized || mountDirectory().isEmpty());

    QMError::Ptr error;
    if (baseSynchronized || !backupDirPath.isNull()) {
        if (QMError::Ptr notOwn = checkOwnVolumeBeforeCopy(path)) {
            update();
            return notOwn;
        }
    }
    if (baseSynchronized) {
        setAction(QMRamDiskAction_copyToBase);
        inform(delegate, QMRamDiskActionInfo_copyingToBase, nullptr);
        error = copyVolumeTo(path, baseBackupPath, CopyRequest::Automatic);
        if (error)
            QM_LogErrorMethod(this, QStringLiteral("backupRamDiskAtPath path:%1 result:%2")
                                        .arg(path, error->description()));
    } else if (!backupDirPath.isNull()) {
        setAction(QMRamDiskAction_backup);
        inform(delegate, QMRamDiskActionInfo_backuping, nullptr);
        error = copyVolumeTo(path, backupDirPath, CopyRequest::Automatic);
    }
    // A failed copy keeps the RAM disk mounted, and its path, so that nothing is lost and
    // the record goes on showing it mounted.
    if (error) {
        update();
        return error;
    }

    inform(delegate, QMRamDiskActionInfo_ejecting, nullptr);
    // Without a mounted volume there is nothing to unmount, only the device to release.
    const QString unmountPath = status == QMRamDiskStatus_mounted ? path : QString();
    error = QMRamDiskDevice::ejectRamDiskDeviceNode(deviceNode, unmountPath, removeDir);

    if (baseSynchronized && !error && !mountPoint.isEmpty())
        putBaseBack(mountPoint, baseBackupPath);

    // Still mounted after a failed unmount: keep the path so that the refresh sees it.
    if (!error)
        setPath(QString());
    update();
    return error;
}

// The RAM disk's last contents, copied to the base backup path, become the directory it
// covered.
void QMRamDisk::putBaseBack(const QString &mountPoint, const QString &baseBackupPath)
{
    QString fsError;
    if (QMRamDiskBackup::fileExistsAtPath(mountPoint)) {
        if (QMRamDiskDevice::hasMountedVolumeAtPath(mountPoint) == QMMountStateMounted) {
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO mountPoint:%1 error:%2")
                                        .arg(mountPoint, QStringLiteral("a volume is mounted there")));
            return;
        }
        if (holdsNothingOfTheUsers(mountPoint)) {
            if (!QMRamDiskBackup::removeItemAtPath(mountPoint, &fsError)) {
                QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO mountPoint:%1 error:%2")
                                            .arg(mountPoint, fsError));
                return;
            }
        } else {
            // Files put there while the RAM disk covered the directory, or a base that was
            // never moved aside, are not the RAM disk's to delete.
            const QString recoveryPath = datedRecoveryPath(mountPoint);
            if (!QMRamDiskBackup::moveItemAtPath(mountPoint, recoveryPath, &fsError)) {
                QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO mountPoint:%1 error:%2")
                                            .arg(mountPoint, fsError));
                return;
            }
            QM_LogWarningMethod(this, QStringLiteral("Kept files found under the RamDisk: %1 moved to %2")
                                          .arg(mountPoint, recoveryPath));
            appendWarning(QStringLiteral("Files found under the RamDisk were kept in %1").arg(recoveryPath));
        }
    }
    if (!QMRamDiskBackup::moveItemAtPath(baseBackupPath, mountPoint, &fsError))
        QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO mountPoint:%1 error:%2").arg(mountPoint, fsError));
    else
        QMRamDiskBackup::clearCopyMarks(mountPoint);
}

// ---- Refresh ----

bool QMRamDisk::update()
{
    const QVariantMap before = comparableValues();
    QString path, deviceNode, identifier;
    qint64 oldStatus;
    {
        std::lock_guard lock(_mutex);
        path = _path;
        deviceNode = _deviceNode;
        identifier = _identifier;
        oldStatus = _status;
    }

    qint64 status = QMRamDiskStatus_notCreated;
    std::optional<QVariantMap> newValues;

    // The mount point of a tagged volume, when the tag is this record's.
    auto mountPointOfTag = [&](const QString &at, QString *mountPoint) -> bool {
        QVariantMap infos;
        if (!QMRamDiskDevice::getExtentedRamDiskInfos(&infos, at)) {
            QM_LogErrorMethod(this, QStringLiteral("getExtentedRamDiskInfos==NO"));
            setPath(QString());
            return false;
        }
        if (infos.value(QStringLiteral("identifier")).toString() != identifier
            || !infos.contains(QStringLiteral("deviceNode")))
            return false;
        QMError::Ptr error;
        *mountPoint = QMRamDiskDevice::mountPointFromDeviceNode(infos.value(QStringLiteral("deviceNode")).toString(),
                                                                &error);
        if (mountPoint->isEmpty()) {
            QM_LogErrorMethod(this, QStringLiteral("mountPoint==nil infos:%1 error:%2")
                                        .arg(QMDescribeVariant(infos),
                                             error ? error->description() : QStringLiteral("(null)")));
            setPath(QString());
            return false;
        }
        return true;
    };

    // A directory left behind by an unmount still exists on Linux: only a mounted volume
    // at the recorded path counts as "the path exists".
    if (!path.isEmpty() && QFileInfo::exists(path)
        && QMRamDiskDevice::hasMountedVolumeAtPath(path) == QMMountStateMounted) {
        QString mountPoint;
        if (mountPointOfTag(path, &mountPoint)) {
            quint64 size = 0, free = 0;
            QString error;
            if (!QMRamDisk::readVolumeSizes(mountPoint, &size, &free, &error))
                QM_LogErrorMethod(this,
                                  QStringLiteral("attributes==nil mountPoint:%1 error:%2").arg(mountPoint, error));
            newValues = QVariantMap{{QStringLiteral("name"), QFileInfo(mountPoint).fileName()},
                                    {QStringLiteral("size"), qulonglong(size)},
                                    {QStringLiteral("sizeFree"), qulonglong(free)}};
            status = QMRamDiskStatus_mounted;
        }
    } else if (!deviceNode.isEmpty() && !path.isEmpty()) {
        // A device that is gone needs no tool to tell (the refresh runs on the main thread
        // every second); one that is still attached may be ours, unmounted, or reused.
        const std::optional<QList<QVariantMap>> devices =
            QMRamDiskDevice::isDeviceAttached(deviceNode) == 0 ? std::make_optional(QList<QVariantMap>())
                                                               : QMRamDiskDevice::deviceList(false, nullptr);
        if (!devices)
            return false; // cannot tell: keep what is known
        const QVariantMap *found = nullptr;
        for (const QVariantMap &device : *devices) {
            if (device.value(QStringLiteral("devNode")).toString() == deviceNode) {
                found = &device;
                break;
            }
        }
        if (found) {
            const QString mountPoint = found->value(QStringLiteral("mountPoint")).toString();
            if (mountPoint.isEmpty() || !QFileInfo::exists(mountPoint)) {
                status = QMRamDiskStatus_created;
            } else {
                QString tagged;
                if (mountPointOfTag(mountPoint, &tagged)) {
                    setPath(tagged);
                    status = QMRamDiskStatus_mounted;
                }
            }
        }
        // The record's device is gone (or is another's now): forget the dead path, so that
        // later refreshes have nothing left to look up.
        if (status == QMRamDiskStatus_notCreated)
            setPath(QString());
    }

    bool changed = false;
    {
        std::lock_guard lock(_mutex);
        if (status != oldStatus) {
            _status = status;
            changed = true;
        }
        if (status == QMRamDiskStatus_mounted && newValues && *newValues != before) {
            _name = newValues->value(QStringLiteral("name")).toString();
            _volSize = newValues->value(QStringLiteral("size")).toULongLong();
            _volFree = newValues->value(QStringLiteral("sizeFree")).toULongLong();
            changed = true;
        }
    }
    return changed;
}
