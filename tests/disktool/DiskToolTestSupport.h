#pragma once

// Runs the build tree's quilmo-disktool under its tool names, and guards that release the
// loop devices and mounts a test makes, also when the test fails.

#include "QMTemporaryDir.h"

#include <QFile>
#include <QString>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <optional>

#include <sys/statvfs.h>
#include <sys/types.h>

namespace DiskToolTest {

struct Result {
    int status = -1;
    QString out;
    QString err;
    // A refusal: exit status 1 and exactly one line on standard error.
    bool isRefusal() const;
};

// Runs libexec/quilmo/<tool> with the arguments; as another user when asUid is given
// (PKEXEC_UID, which the tool trusts only because the test runs as root).
Result runTool(const QString &tool, const QStringList &args, std::optional<uid_t> asUid = std::nullopt);

// The mount tool's arguments for a device and a path, without "-o nobrowse".
QStringList plainMountArgs(const QString &device, const QString &path);

// Kills a child process and waits for it when it goes out of scope.
struct KillAtEnd {
    QProcess &process;
    ~KillAtEnd();
};

// Runs a program as a normal user (real and effective ids, no supplementary groups).
Result runAsUser(uid_t uid, const QString &program, const QStringList &args);

// While it lives, runTool (and everything built on it) runs the test-only build of the tool
// whose record lives in the build tree; that record starts empty and is removed again.
class IsolatedTool {
public:
    IsolatedTool();
    ~IsolatedTool();
    IsolatedTool(const IsolatedTool &) = delete;
    IsolatedTool &operator=(const IsolatedTool &) = delete;
    // Where its record is: <dir>/devices, <dir>/devices.lock; the public copy is publicList().
    static QString stateDir();
    static QString publicList();
};

// A user id that no other test process uses, for playing a normal user.
uid_t testUid(int offset = 0);

// The /dev/loopK of an attach property list; empty when there is none.
QString deviceFromAttachOutput(const QString &plist);

struct InfoEntry {
    QString imagePath;
    QString device;
    QString mountPoint;
    bool unrecorded = false;
};
QList<InfoEntry> info(std::optional<uid_t> asUid = std::nullopt);
std::optional<InfoEntry> infoFor(const QString &device, std::optional<uid_t> asUid = std::nullopt);

// The file system's label and UUID as blkid reads them from the device.
QString labelOf(const QString &device);
QString uuidOf(const QString &device);

// Mount points of a loop device, read from /proc/self/mountinfo.
QStringList mountPointsOf(const QString &device);
// The per-mount options of the mount at a path ("rw,nosuid,nodev,noatime").
QString mountOptionsAt(const QString &path);
bool isMountPoint(const QString &path);
// The backing file of a loop device as the kernel reports it; empty when it is free. Loop
// devices are reused at once, so an attachment is known by this, not by its number.
QString backingOf(const QString &device);
// A line of the device's sysfs directory ("queue/logical_block_size", "loop/dio").
QString sysfsOf(const QString &device, const QString &file);
// Shmem of /proc/meminfo in bytes: the memory of every tmpfs, RAM disks' memory files
// included (they are unlinked, so this is where their memory shows). Machine-wide: other
// programs move it as well.
quint64 shmemBytes();

// What a refusal must leave unchanged for one user: their loop devices (with mount
// points), their memory files in /dev/shm, and the mounts below a directory.
QString snapshot(uid_t uid, const QString &dir);

// Attaches a RAM disk for the given user through the tool and releases it (unmount, detach)
// when it goes out of scope.
class RamDisk {
public:
    explicit RamDisk(quint64 sectors, std::optional<uid_t> owner = std::nullopt, bool format = true,
                     const QString &name = QStringLiteral("Test"));
    ~RamDisk();
    RamDisk(const RamDisk &) = delete;
    RamDisk &operator=(const RamDisk &) = delete;
    const QString &device() const { return _device; }
    const QString &backing() const { return _backing; }
    // Still attached: the device still holds this RAM disk's memory file.
    bool attached() const { return !_device.isEmpty() && backingOf(_device) == _backing; }
    bool ok() const { return !_device.isEmpty() && _error.isEmpty(); }
    const QString &error() const { return _error; }

private:
    QString _device;
    QString _backing;
    QString _error;
};

// Detaches a loop device (after unmounting its mounts) while it still holds the given
// backing file; a device released already, and perhaps reused by another test, is left alone.
void releaseDevice(const QString &device, const QString &backing);

// Unmounts whatever is mounted at the path when it goes out of scope.
class MountGuard {
public:
    explicit MountGuard(const QString &path) : _path(path) {}
    ~MountGuard();
    MountGuard(const MountGuard &) = delete;
    MountGuard &operator=(const MountGuard &) = delete;

private:
    QString _path;
};

// A loop device over a file of the test's own, attached with losetup.
class ForeignLoop {
public:
    explicit ForeignLoop(const QString &file);
    ~ForeignLoop();
    ForeignLoop(const ForeignLoop &) = delete;
    ForeignLoop &operator=(const ForeignLoop &) = delete;
    const QString &device() const { return _device; }

private:
    QString _device;
    QString _backing;
};

// A RAM disk of `bytes`, formatted with the newfs arguments given (before "-v"), mounted
// in a temporary directory.
struct MountedRamDisk {
    MountedRamDisk(quint64 bytes, const QStringList &newfsArgs = {}) : disk(bytes / 512, std::nullopt, false)
    {
        if (!disk.ok() || !dir.isValid())
            return;
        const Result newfs = runTool(QStringLiteral("newfs_hfs"),
                                     newfsArgs + QStringList{QStringLiteral("-v"), QStringLiteral("Capacity"), disk.device()});
        if (newfs.status != 0) {
            error = newfs.err;
            return;
        }
        guard = std::make_unique<MountGuard>(dir.path());
        const Result mount = runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), dir.path()));
        mounted = mount.status == 0;
        error = mount.err;
    }
    struct statvfs stat() const
    {
        struct statvfs sv {};
        statvfs(QFile::encodeName(dir.path()).constData(), &sv);
        return sv;
    }
    quint64 reservedBlocks() const
    {
        QFile f(QStringLiteral("/sys/fs/ext4/%1/reserved_clusters").arg(disk.device().mid(5)));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toULongLong() : 0;
    }

    RamDisk disk;
    QMTemporaryDir dir;
    std::unique_ptr<MountGuard> guard;
    bool mounted = false;
    QString error;
};

} // namespace DiskToolTest
