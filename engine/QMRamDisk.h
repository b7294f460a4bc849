#pragma once

#include "QMError.h"
#include "QMVolumeCapacity.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <memory>
#include <mutex>
#include <optional>

// Preset kinds. Stored in the entries file: the numbers never change.
enum QMRamDiskType : qint64 {
    QMRamDiskType_default = 0,
    QMRamDiskType_unassigned = 1, // never given out; displays like 0
    QMRamDiskType_Safari = 2,
    QMRamDiskType_XcodeBuild = 3,
    QMRamDiskType_IOsSimulator = 4,
    QMRamDiskType_CoreSimulator = 5,
    QMRamDiskType_AppCodeCaches = 6,
    QMRamDiskType_Firefox = 7,
    QMRamDiskType_Chrome = 8,
    QMRamDiskType_Chromium = 9,
};

enum QMRamDiskStatus : qint64 {
    QMRamDiskStatus_notCreated = 0,
    QMRamDiskStatus_created = 1, // the device exists, no volume of it is mounted
    QMRamDiskStatus_mounted = 2,
};

enum QMRamDiskFormat : qint64 {
    QMRamDiskFormat_HFSPlus = 0,
    QMRamDiskFormat_caseSensitiveHFSPlus = 1,
};

enum QMRamDiskMdIndexMode : qint64 {
    QMRamDiskMdIndexMode_default = 0,
    QMRamDiskMdIndexMode_on = 1,
    QMRamDiskMdIndexMode_off = 2,
};

enum QMRamDiskBackupMode : qint64 {
    QMRamDiskBackupMode_disabled = 0,
    QMRamDiskBackupMode_defaultLocation = 1,
    QMRamDiskBackupMode_chosenDirectory = 2,
    QMRamDiskBackupMode_baseSynchronized = 3,
};

enum QMRamDiskAction : qint64 {
    QMRamDiskAction_none = 0,
    QMRamDiskAction_create = 1,
    QMRamDiskAction_copyToBase = 2,
    QMRamDiskAction_backup = 3,
    QMRamDiskAction_remount = 4,
    QMRamDiskAction_eject = 5,
    QMRamDiskAction_cleanUpFiles = 6,
    QMRamDiskAction_rebuild = 7,
    // Ours: a mounted memory instance takes a new size in place (resizeTarget()).
    QMRamDiskAction_resize = 8,
    QMRamDiskAction_last = QMRamDiskAction_resize,
};

enum QMRamDiskActionInfo : qint64 {
    QMRamDiskActionInfo_rebuildEnd = 0,
    QMRamDiskActionInfo_creatingCalculatingBaseDirSize = 1,
    QMRamDiskActionInfo_creating = 2,
    QMRamDiskActionInfo_creatingNewFileSystem = 3,
    QMRamDiskActionInfo_creatingMoutingVolume = 4,
    QMRamDiskActionInfo_creatingRecopingFromBase = 5,
    QMRamDiskActionInfo_creatingRestoring = 6,
    QMRamDiskActionInfo_creatingExecutingPostCommand = 7,
    QMRamDiskActionInfo_creatingMdIndexMode = 8,
    QMRamDiskActionInfo_copyingToBase = 9,
    QMRamDiskActionInfo_backuping = 10,
    QMRamDiskActionInfo_remounting = 11,
    QMRamDiskActionInfo_ejecting = 12,
    QMRamDiskActionInfo_resizing = 13, // action 8
};

class QMRamDisk;
class QMRamDiskActionLock;

// One report of an action, with the record's values as they were when it was sent. A
// report handed to the main thread is read there later, when the record may have moved on
// to its next step or action: read the report, not the record, to show that step.
//
// `action` is 0 in the final report of an action (its outcome: `error` none = success,
// `warning` what the user must hear of although it succeeded), else the running action
// (QMRamDiskAction); `actionInfo` the step (QMRamDiskActionInfo).
struct QMRamDiskReport
{
    QString identifier;
    qint64 action = 0;
    qint64 actionInfo = 0;
    QMError::Ptr error;
    QString warning;
    qint64 status = 0; // QMRamDiskStatus
    QString path;

    bool isFinal() const { return action == 0; }
};
Q_DECLARE_METATYPE(QMRamDiskReport)

// Receives every progress report and outcome of a record's actions, on the action's
// thread. Implementations hand the report to the main thread without waiting (never block
// on the main thread here: it may be waiting for the action to end).
//
// ramDiskDidReport() carries the snapshot; its default passes the record alone to
// ramDiskDidUpdated(), for receivers that read the record at once on the action's thread.
class QMRamDiskActionDelegateProtocol
{
public:
    virtual ~QMRamDiskActionDelegateProtocol() = default;
    virtual void ramDiskDidUpdated(const std::shared_ptr<QMRamDisk> &ramDisk) = 0;
    virtual void ramDiskDidReport(const std::shared_ptr<QMRamDisk> &ramDisk, const QMRamDiskReport &report)
    {
        Q_UNUSED(report);
        ramDiskDidUpdated(ramDisk);
    }
};

// One configured RAM disk: the user's settings, what the system last saw of it, and the
// action now running on it.
//
// Records are shared between the main thread and an action's worker thread, so they are
// always held by a Ptr (make them with create() or initWithCoder()). Every accessor locks
// the record's own mutex and copies the value out; no lock is held while a tool runs.
class QMRamDisk : public std::enable_shared_from_this<QMRamDisk>
{
public:
    using Ptr = std::shared_ptr<QMRamDisk>;

    // Option bit of changeToType(): keep size and backup settings.
    static constexpr qint64 ChangeTypeOptionKeepSizeAndBackup = 1;

    // A new record (the `init` of a new RAM disk): a fresh identifier, the defaults.
    static Ptr create();
    virtual ~QMRamDisk();

    QMRamDisk(const QMRamDisk &) = delete;
    QMRamDisk &operator=(const QMRamDisk &) = delete;

    // The class name written beside the archived keys; decoding picks the class from it.
    virtual QString className() const;

    // 1000000000 bytes on a machine with more than 2 GiB of memory, else 512000000.
    static quint64 defaultCapSize();

    // The default-location backup directory of an identifier, and the suffix of backups.
    static QString backupPathExtension(); // "QuilmoBackup"
    static QString previousBackupExtension(); // "previous"
    // " (Quilmo Backup Base)", appended to the name of the directory a RAM disk covers.
    static QString baseBackupSuffix();

    // ---- Keyed archive form ----
    // Writes the persisted keys ("type", "identifier", "preferWired", "createAtLogin",
    // "doNotCalculateBaseSize", "format", "name", "size", "mountDirectory" with the home
    // directory abbreviated to "~", "simId", "postCmd", "postCmdArgs", "mdIndexMode",
    // "backupMode", "backupDir", "status", "deviceNode", "path", and while set
    // "lastSaveDate", "contentsIncomplete", "autoSaveInterval"); keys of absent values are
    // left out.
    void encodeWithCoder(QVariantMap *coder) const;
    // Decodes from a bare record (missing keys give zero, false or none, identifier
    // included). `className` "QMRamDiskEntry" gives a QMRamDiskEntry, "QMRamDisk" or a
    // null text a QMRamDisk, any other class name none.
    static Ptr initWithCoder(const QVariantMap &coder, const QString &className = QString());

    // "~" forms of a path inside the home directory, and back.
    static QString stringByAbbreviatingWithTildeInPath(const QString &path);
    static QString stringByExpandingTildeInPath(const QString &path);

    // ---- Identity ----
    size_t hash() const;
    bool isEqual(const QMRamDisk *other) const;
    bool isEqual(const Ptr &other) const { return isEqual(other.get()); }

    // Takes every persisted value of `other` (settings and what the system last saw), its
    // identifier aside: a record read again from the file stays the object that windows,
    // sheets and choosers hold. The action, its report and the volume figures stay.
    void assignValuesOf(const QMRamDisk &other);

    // ---- Display values ----
    QString displayName();
    QString displayStatus() const;
    // Edge length 32, 48 or 128; any other gives a null image after the critical alert.
    QImage displayIcon(int size);
    double diskUsage() const;
    // Whether the RAM disk's names tell upper from lower case: what its mounted volume
    // really does, else what a creation gives on this kernel (case-insensitive names, which
    // its format may ask for, are not offered by every kernel).
    bool isCaseSensitive() const;
    // -1 undetermined, 1 the volume holds user content, 0 it holds none.
    int hasContents() const;
    // The backup directory of modes 1 and 2, else a null text.
    QString backupDirPath() const;
    // Saved before into a backup directory that is not there now (most likely the disk
    // that holds it is not connected): a creation is refused, since an empty RAM disk
    // would be saved over the real backup.
    bool backupIsMissing() const;
    // Where the covered directory is kept while the RAM disk is mounted:
    // `mountDirectory`/`name` + " (Quilmo Backup Base)"; null without a mount directory.
    QString baseBackupPath() const;
    // `mountDirectory`/`name`; null without a mount directory.
    QString basePath() const;
    // True for type CoreSimulator, or a mount directory with backup mode 3.
    bool isBaseSynchronized() const;
    // Removes the default-location backup directories of this record.
    void deleteBackupDirs() const;
    // The default-location backup directories of this record that exist (the backup, its
    // previous copy, an unfinished one), with the regular files they hold and their bytes.
    struct BackupDirs
    {
        QStringList paths;
        quint64 files = 0;
        quint64 bytes = 0;
    };
    BackupDirs backupDirsInAppSupport() const;
    // Moves those directories to the desktop's trash, where the user can still take them
    // back. False, with *error, at the first that cannot be moved; *trashed lists where the
    // others went in the trash.
    bool trashBackupDirs(QStringList *trashed, QString *error) const;
    // {"name": name, "size": volSize, "sizeFree": volFree}
    QVariantMap comparableValues() const;
    void changeToType(qint64 type, qint64 options);

    // Sets lastActionInfo and lastError, then tells the delegate with a snapshot taken in
    // the same step.
    void inform(QMRamDiskActionDelegateProtocol *delegate, qint64 actionInfo, const QMError::Ptr &error);
    // The record's report values now.
    QMRamDiskReport report() const;

    // ---- Actions ----
    // Starts `action` (QMRamDiskAction) on a worker thread or on the caller's thread (see
    // each action). Refused, with the critical alert, while another action of this program
    // runs on the record.
    //
    // Once started, an action first takes the record's lock, shared by every program of
    // the user (QMRamDiskActionLock), then refreshes the record and checks that its status
    // allows the action:
    //   create        not mounted (a created device whose volume was unmounted is mounted
    //                 again, never attached a second time)
    //   remount       created and not mounted
    //   copy to base  mounted, and base-synchronised
    //   back up       mounted
    //   clean up      mounted
    //   eject         any status (a RAM disk that is gone only gets its base put back)
    //   rebuild       any status
    //   resize        mounted, a memory instance, and resizeTarget() a size it can take
    // A refusal (busy in another program, or the status) is the action's outcome: one
    // final report with action 0 and the error, no other step.
    void performAction(qint64 action, QMRamDiskActionDelegateProtocol *delegate, bool threaded);
    // The same, with a delegate the action keeps alive until its last report.
    void performAction(qint64 action, const std::shared_ptr<QMRamDiskActionDelegateProtocol> &delegate,
                       bool threaded);
    // The refusal of the status rules above for `action`, after a refresh; none when allowed.
    QMError::Ptr checkStatusAllowsAction(qint64 action);

    // The creation pipeline; blocks until done. True when the volume is mounted and the
    // post-command (if any) succeeded; *error gets the last error, also on success when a
    // copy-back step failed.
    bool createWithDelegate(QMRamDiskActionDelegateProtocol *delegate, QMError::Ptr *error);
    // Copies back or backs up, then detaches; the RAM disk stays mounted when the copy fails.
    QMError::Ptr eject(QMRamDiskActionDelegateProtocol *delegate);
    // Refreshes status, path and volume figures from the system; true when something changed.
    bool update();

    void performCreate(QMRamDiskActionDelegateProtocol *delegate);
    void performSyncWithBase(QMRamDiskActionDelegateProtocol *delegate);
    void performBackup(QMRamDiskActionDelegateProtocol *delegate);
    void performRemount(QMRamDiskActionDelegateProtocol *delegate);
    void performEject(QMRamDiskActionDelegateProtocol *delegate);
    QMError::Ptr performCleanUpFiles();
    void performRebuild(QMRamDiskActionDelegateProtocol *delegate);
    // Gives the mounted volume the size resizeTarget(); on success `size` becomes it.
    void performResize(QMRamDiskActionDelegateProtocol *delegate);
    // None when the mounted volume can take `size` bytes now: a memory instance (a loop
    // device needs ejecting), the size rules of a creation, and room for what it holds.
    QMError::Ptr checkCanResizeTo(quint64 size) const;
    // Whether the RAM disk is mounted, idle and a memory instance: what can change its
    // size in place (a loop device cannot).
    bool canResizeInPlace() const;

    // ---- Fields ----
    qint64 type() const;
    QString identifier() const;

    bool preferWired() const;
    void setPreferWired(bool preferWired);
    bool createAtLogin() const;
    void setCreateAtLogin(bool createAtLogin);
    bool doNotCalculateBaseSize() const;
    void setDoNotCalculateBaseSize(bool doNotCalculateBaseSize);
    qint64 format() const;
    void setFormat(qint64 format);
    QString name() const;
    void setName(const QString &name);
    quint64 size() const;
    void setSize(quint64 size);
    QString mountDirectory() const;
    void setMountDirectory(const QString &mountDirectory);
    QString simId() const;
    void setSimId(const QString &simId);
    QString postCmd() const;
    void setPostCmd(const QString &postCmd);
    std::optional<QStringList> postCmdArgs() const;
    void setPostCmdArgs(const std::optional<QStringList> &postCmdArgs);
    qint64 mdIndexMode() const;
    void setMdIndexMode(qint64 mdIndexMode);
    qint64 backupMode() const;
    void setBackupMode(qint64 backupMode);
    QString backupDir() const;
    void setBackupDir(const QString &backupDir);
    qint64 status() const;
    void setStatus(qint64 status);
    QString deviceNode() const;
    void setDeviceNode(const QString &deviceNode);
    QString path() const;
    void setPath(const QString &path);
    QString uuid() const;
    void setUuid(const QString &uuid);
    std::optional<qint64> devUUID() const;
    void setDevUUID(const std::optional<qint64> &devUUID);
    quint64 volSize() const;
    void setVolSize(quint64 volSize);
    quint64 volFree() const;
    void setVolFree(quint64 volFree);
    qint64 action() const;
    void setAction(qint64 action);
    // The size the next resize action gives the volume; not persisted.
    quint64 resizeTarget() const;
    void setResizeTarget(quint64 size);
    qint64 lastActionInfo() const;
    void setLastActionInfo(qint64 lastActionInfo);
    QMError::Ptr lastError() const;
    void setLastError(const QMError::Ptr &lastError);
    // What the last action did that the user must hear of although it succeeded (a base
    // recovered, a backup folder missing); null when nothing. Cleared when an action starts.
    QString lastWarning() const;
    void setLastWarning(const QString &lastWarning);
    // When the last complete backup or synchronisation began (the moment whose contents it
    // holds), seconds since 1970; 0 = never. Persisted as "lastSaveDate", left out while 0.
    double lastSaveDate() const;
    void setLastSaveDate(double lastSaveDate);
    // The volume's contents are incomplete (its restore or base copy failed): no automatic
    // copy (an ejection's, a synchronisation's) may replace the last complete one until
    // the user backs up explicitly. Persisted as "contentsIncomplete", left out while false.
    bool contentsIncomplete() const;
    void setContentsIncomplete(bool contentsIncomplete);
    // The user confirmed that the next backup action may replace the last complete copy
    // with contents that are incomplete; without it that backup is refused. Good for one
    // action: cleared when the action ends.
    bool replacesIncompleteCopy() const;
    void setReplacesIncompleteCopy(bool replaces);
    // How often a RAM disk with a backup mode is saved while mounted, in seconds; 0 = never
    // (QMRamDiskAutoSave). Persisted as "autoSaveInterval", left out while 0, so that the
    // files of older versions keep their RAM disks unsaved as before.
    qint64 autoSaveInterval() const;
    void setAutoSaveInterval(qint64 seconds);
    // The interval of a RAM disk that gets a backup mode: 15 minutes.
    static constexpr qint64 defaultAutoSaveInterval = 900;

    // "<QMRamDisk: 0x...> identifier \"name\"": the receiver text of log lines.
    QString description() const;

protected:
    struct Bare {};
    // Decoding starts here: every field zero, false or none.
    explicit QMRamDisk(Bare);
    // `init`: a new identifier and the defaults.
    QMRamDisk();

private:
    QMRamDiskReport reportLocked() const;
    // Marks the record busy unless another action runs; the running action otherwise.
    qint64 reserveAction(qint64 action);
    // Marks the record idle and lets go of its lock across programs.
    void endAction();
    void runAction(qint64 action, QMRamDiskActionDelegateProtocol *delegate);

    // Pieces of the creation pipeline.
    bool recoverLeftoverBase(const QString &basePath, const QString &baseBackupPath);
    void restoreMovedBase(const QString &basePath, const QString &baseBackupPath);
    void putBaseBack(const QString &mountPoint, const QString &baseBackupPath);
    // Nothing but the file manager's bookkeeping names (or nothing at all).
    static bool holdsNothingOfTheUsers(const QString &path);
    // Mounts the record's device where its settings say; on success `path` is the mount point.
    QMError::Ptr mountRecordedDevice();
    // The device of a volume tagged with this record's identifier and mounted at
    // `mountPath` from the device its tag names; null when there is none.
    QString ownDeviceMountedAt(const QString &mountPath) const;
    // None when `path` is this record's own volume, mounted from its device; else the
    // error of a copy that must not be made.
    QMError::Ptr checkOwnVolumeBeforeCopy(const QString &path) const;
    // Takes the volume of ownDeviceMountedAt() as this record's RAM disk. False when there
    // is none.
    bool adoptMountedVolume(const QString &mountPath);
    // The file-system size and free space of a mounted volume; *error says why not.
    static bool readVolumeSizes(const QString &path, quint64 *size, quint64 *free, QString *error);
    // "<base> (Quilmo Recovered Base <date>)", not yet used.
    static QString datedRecoveryPath(const QString &basePath);
    void setVolumeIconIfAny(const QString &volumePath);
    // Copies and their bookkeeping (QMRamDiskCopies.cpp).
    // Adds a line to lastWarning.
    void appendWarning(const QString &warning);
    // Before anything is attached: the backup to restore is there when one was made, and
    // it can fit on a RAM disk of `size` bytes. *usage: what the restore will copy.
    QMError::Ptr checkBeforeCreation(quint64 size, QMDirectoryUsage *usage);
    // A copy over the last complete one is refused while the contents are incomplete,
    // unless the user confirmed that this copy replaces it.
    enum class CopyRequest { Automatic, Explicit, Confirmed };
    QMError::Ptr copyVolumeTo(const QString &volumePath, const QString &destination, CopyRequest request);
    // A copy to `copyPath` that stopped half way leaves its previous copy as the only
    // complete one: it takes the copy's name back. A complete copy makes the previous one
    // and the unfinished one obsolete.
    void settleInterruptedCopy(const QString &copyPath);
    void clearComposedIcons();

    mutable std::mutex _mutex;

    qint64 _type = 0;
    QString _identifier;
    QImage _volumeIcon;
    double _volumeIconDate = 0;
    std::array<QImage, 3> _composedIcons;
    std::array<qint64, 3> _composedIconKeys{};
    // Display name of the simulator device of `simId`, looked up once and kept.
    std::optional<QString> _simDeviceName;
    bool _preferWired = false;
    bool _createAtLogin = false;
    bool _doNotCalculateBaseSize = false;
    qint64 _format = 0;
    QString _name;
    quint64 _size = 0;
    quint64 _resizeTarget = 0;
    QString _mountDirectory;
    QString _simId;
    QString _postCmd;
    std::optional<QStringList> _postCmdArgs;
    qint64 _mdIndexMode = 0;
    qint64 _backupMode = 0;
    QString _backupDir;
    qint64 _status = 0;
    QString _deviceNode;
    QString _path;
    QString _uuid;
    std::optional<qint64> _devUUID;
    quint64 _volSize = 0;
    quint64 _volFree = 0;
    qint64 _action = 0;
    qint64 _lastActionInfo = 0;
    QMError::Ptr _lastError;
    QString _lastWarning;
    double _lastSaveDate = 0;
    bool _contentsIncomplete = false;
    bool _replacesIncompleteCopy = false;
    qint64 _autoSaveInterval = 0;
    // Held by the running action, for the other programs of the user.
    std::shared_ptr<QMRamDiskActionLock> _actionLock;
};
