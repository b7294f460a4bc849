#pragma once

#include "QMError.h"
#include "QMVolumeCapacity.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Mount state of a directory.
enum : qint8 {
    QMMountStateUnknown = -1, // cannot tell
    QMMountStateNone = 0,     // a plain directory of its parent's volume
    QMMountStateMounted = 1,  // the root of another volume
};

// Operations on RAM devices: attaching and formatting them, mounting, finding them in the
// mount table, listing and ejecting them, and the volume tag that marks a mounted volume
// as one of ours. Every operation is a class operation; no state is kept. Every tool runs
// through the command runner, from the table of QMDiskToolPaths.
//
// A device record of deviceList() is a map: "devNode" (string, always), "mountPoint"
// (string, when mounted), "uuid" (string, with identity, when known), "st_dev" (qint32,
// with identity, when not 0).
class QMRamDiskDevice
{
public:
    // --- Creating a device (steps of the creation pipeline) ---

    // The largest RAM disk that asks for wired memory (1 GiB).
    static constexpr quint64 wiredMemoryMaxSize = 1073741824ULL;

    // "attach", "-nomount", "-plist", "ram://<size / 512>" and, for sizes up to 1 GiB with
    // wired memory asked where the kernel can keep a RAM disk out of swap, "-kernel".
    static QStringList attachArguments(quint64 size, bool preferWired);

    // Attaches a RAM device of `size` bytes; its device node, or null with *error set
    // ("Unable to create RamDisk" / "executeCommand==NO" or "systemEntities").
    static QString attachDeviceWithSize(quint64 size, bool preferWired, QMError::Ptr *error);

    // "-s" (format 1, case-sensitive), then "-N" and the inode count when one is given (not
    // 0), then "-v", name, device node.
    static QStringList formatArguments(const QString &name, qint64 format, const QString &deviceNode,
                                       quint64 inodeCount = 0);

    // Writes the file system, with at least `inodeCount` inodes when that is not 0 (see
    // inodeCountForItems). False with *error set ("Unable to create RamDisk" /
    // "executeCommand==NO" or "lines"); the caller then detaches the device.
    static bool formatDeviceNode(const QString &deviceNode, const QString &name, qint64 format, QMError::Ptr *error,
                                 quint64 inodeCount = 0);

    // The inode count to format a RAM disk of `size` bytes with when `items` files,
    // directories and links will be copied onto it: for a loop device's ext4 half as many
    // again, within what the device takes; 0 (the format's default) when nothing will be
    // copied, and always for a memory instance, whose count follows from its size.
    static quint64 inodeCountForItems(quint64 size, quint64 items,
                                      QMRamDeviceKind kind = QMRamDeviceKindForNewRamDisks());

    // --- Device list and look-ups ---

    // The RAM devices; none on failure ("Can execute device list command").
    static std::optional<QList<QVariantMap>> deviceList(bool identity, QMError::Ptr *error);

    // The mount point of a device node; null when it is not mounted (no error).
    static QString mountPointFromDeviceNode(const QString &deviceNode, QMError::Ptr *error);

    // The device mounted at a mount point; null when none is (no error).
    static QString deviceNodeFromPath(const QString &path, QMError::Ptr *error);

    // Whether the volume mounted at `path` tells upper from lower case in names: what it
    // really does, whatever its record asked for (a kernel without case folding makes every
    // volume case-sensitive). None when the path cannot be opened.
    static std::optional<bool> isCaseSensitiveVolumeAtPath(const QString &path);

    // One of QMMountStateUnknown, QMMountStateNone, QMMountStateMounted.
    static qint8 hasMountedVolumeAtPath(const QString &path);

    // Whether a device is still attached, read without running a tool (a loop device from
    // sysfs, a memory instance from the mount table): 1 attached, 0 gone, -1 cannot tell
    // (not the name of either).
    static qint8 isDeviceAttached(const QString &deviceNode);

    // The file system's UUID of a device number, canonical upper-case form; null if unknown.
    static QString volumeUUIDForDeviceNumber(quint64 deviceNumber);

    // --- Mounting and ejecting ---

    // Where a volume goes when no directory is given: /media/<user name>.
    static QString defaultVolumesDirectory();
    // Tests stand another directory in; a null path goes back to the desktop's.
    static void setDefaultVolumesDirectoryForTesting(const QString &path);

    // Where mountDeviceNode() mounts a volume: directory/name, in the default parent when
    // `directory` is null.
    static QString mountPathForDirectory(const QString &directory, const QString &name);

    // Mounts the device at directory/name (default parent when `directory` is null) and
    // tags it with `identifier`. Null on success with *mountedPath set, else the error.
    // Another RAM disk mounted there is never unmounted: the error says what it is.
    static QMError::Ptr mountDeviceNode(const QString &deviceNode, const QString &directory, const QString &name,
                                        qint64 format, qint64 type, const QString &identifier,
                                        QString *mountedPath);

    // Unmounts `path` (when given and present), removes an emptied mount directory when
    // `removeDir` is set, and detaches the device. Null on success, else the error.
    //
    // A volume that a program still uses is never pulled away from under it: the unmount
    // fails, the volume stays mounted and the error names the programs (command and pid).
    // Only `force` detaches a busy volume (what those programs write after that is lost);
    // *warning then says whom it was taken from.
    static QMError::Ptr ejectRamDiskDeviceNode(const QString &deviceNode, const QString &path, bool removeDir,
                                               bool force = false, QString *warning = nullptr);

    // "resize", "-size", "<size / 512>", device node.
    static QStringList resizeArguments(const QString &deviceNode, quint64 size);

    // Gives a memory instance, mounted or not, the size of `size` bytes, keeping what it
    // holds. Null on success, else the error ("Unable to resize RamDisk", the tool's reason
    // as its cause).
    static QMError::Ptr resizeDeviceNode(const QString &deviceNode, quint64 size);

    // Ejects whatever RAM disk is mounted at `path`, busy or not (see above); null when
    // nothing of ours is mounted. *warning names the programs that held it.
    static QMError::Ptr forceEjectRamDiskAtPath(const QString &path, QString *warning = nullptr);

    // --- Post-command paths ---

    static QString completePostCommand(const QString &command);
    static bool canStartPostCommand(const QString &path, QString *raison);

    // --- Volume tag ---

    // Writes `infos` as the volume tag of `path`. False for an empty map or a failed write.
    static bool setExtendedRamDiskInfos(const QVariantMap &infos, const QString &path);

    // Reads the volume tag of `path`; true with *infos set when it holds at least one entry.
    static bool getExtentedRamDiskInfos(QVariantMap *infos, const QString &path);
};
