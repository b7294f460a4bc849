#pragma once

// Runs the build tree's quilmo-disktool under its tool names, and guards that release the
// RAM devices and mounts a test makes, also when the test fails.
//
// A RAM device is a memory instance ("quilmo-ramN", a tmpfs of its own in the tool's
// private place, shown by bind mounts) or, on kernels without them, a loop device over a
// memory file ("/dev/loopN", ext4). This kernel has memory instances; the test-only build
// that stands for an older kernel (LoopTool) keeps the loop devices tested.

#include "QMTemporaryDir.h"

#include <QFile>
#include <QString>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

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
// (PKEXEC_UID, which the tool trusts only because the test runs as root). A tool still
// running after `budgetMs` (when given) is killed: status -1.
Result runTool(const QString &tool, const QStringList &args, std::optional<uid_t> asUid = std::nullopt,
               int budgetMs = -1);
// Runs the tool at `toolPath` for `asUid` behind the shell `script`, which starts it as
// "$0" "$@" under a limit or a trap of its own (`exec prlimit --nofile=5 "$0" "$@"`).
Result runToolBehind(const QString &script, const QString &toolPath, const QStringList &args, uid_t asUid,
                     int budgetMs = 30000);

// The attach tool's arguments for a device of `sectors` (never swapped when `wired`).
QStringList attachArgs(quint64 sectors, bool wired = false);

// The mount tool's arguments for a device and a path, without "-o nobrowse".
QStringList plainMountArgs(const QString &device, const QString &path);

// Kills a child process and waits for it when it goes out of scope.
struct KillAtEnd {
    QProcess &process;
    ~KillAtEnd();
};

// Runs a program as a normal user (real and effective ids, no supplementary groups).
Result runAsUser(uid_t uid, const QString &program, const QStringList &args);

enum class Realisation { Memory, Loop };
const char *realisationName(Realisation realisation);
// The realisation a device name stands for.
Realisation realisationOf(const QString &device);

// While it lives, runTool (and everything built on it) runs the test-only build that makes
// loop devices, as on a kernel without memory instances.
class LoopTool {
public:
    LoopTool();
    ~LoopTool();
    LoopTool(const LoopTool &) = delete;
    LoopTool &operator=(const LoopTool &) = delete;
    // The directory of that build, for programs that run the tools themselves.
    static QString directory();
};

// Runs the tool of the given realisation while it lives (the installed build for memory).
class RealisationTool {
public:
    explicit RealisationTool(Realisation realisation);

private:
    std::unique_ptr<LoopTool> _loop;
};

// While it lives, runTool (and everything built on it) runs the test-only build of the tool
// whose record lives in the build tree; that record starts empty and is removed again.
class IsolatedTool {
public:
    explicit IsolatedTool(Realisation realisation = Realisation::Loop);
    ~IsolatedTool();
    IsolatedTool(const IsolatedTool &) = delete;
    IsolatedTool &operator=(const IsolatedTool &) = delete;
    // Where its record is: <dir>/devices, <dir>/instances, <dir>/devices.lock; the public
    // copies are publicList() and publicInstanceList().
    static QString stateDir();
    static QString publicList();
    static QString publicInstanceList();
};

// A user id that no other test process uses, for playing a normal user.
uid_t testUid(int offset = 0);

// The device of an attach property list; empty when there is none.
QString deviceFromAttachOutput(const QString &plist);

struct InfoEntry {
    QString imagePath;
    QString device;
    QString mountPoint;
    QString volumeName;
    bool unrecorded = false;
};
QList<InfoEntry> info(std::optional<uid_t> asUid = std::nullopt);
std::optional<InfoEntry> infoFor(const QString &device, std::optional<uid_t> asUid = std::nullopt);

// The volume's name: the label blkid reads from a loop device, the volume name info reports
// for an instance (as root).
QString labelOf(const QString &device);
// What identifies one making of the volume: the UUID of a loop device's file system, the
// device number of an instance (a new one at each format).
QString uuidOf(const QString &device);

// Where a device is shown, read from /proc/self/mountinfo: a loop device's mount points, an
// instance's binds (never its own mount in the tool's private place).
QStringList mountPointsOf(const QString &device);
// An instance's own mount in the tool's private place ("major:minor" and its path); empty
// when it is gone.
QString instanceDeviceOf(const QString &device);
QString instancePlaceOf(const QString &device);
// The per-mount options of the mount at a path ("rw,nosuid,nodev,noatime").
QString mountOptionsAt(const QString &path);
bool isMountPoint(const QString &path);
// The backing file of a loop device as the kernel reports it; empty when it is free. Loop
// devices are reused at once, so an attachment is known by this, not by its number.
QString backingOf(const QString &device);
// What tells one attachment from a later one under the same name: a loop device's backing
// file, an instance's device number; empty when the device is gone.
QString identityOf(const QString &device);
// A line of the device's sysfs directory ("queue/logical_block_size", "loop/dio").
QString sysfsOf(const QString &device, const QString &file);
// What a loop device has written to its memory file and given back to it (its discards,
// which punch holes in the file), in bytes since it was made: this device's own figures,
// which no other program moves.
struct LoopTraffic {
    quint64 written = 0;
    quint64 discarded = 0;
};
LoopTraffic loopTrafficOf(const QString &device);
// Shmem of /proc/meminfo in bytes: the memory of every tmpfs, RAM disks' memory files
// included (they are unlinked, so this is where their memory shows). Machine-wide: other
// programs move it as well.
quint64 shmemBytes();

// What a refusal must leave unchanged for one user: their loop devices (with mount
// points), their memory files in /dev/shm, their instances, and the mounts below a
// directory.
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
    // A successful format through runTool makes a memory instance anew: the guards of
    // that device follow it to its new identity.
    static void formatted(const QString &device);
    // Still attached: the device is still this RAM disk (same memory file or instance).
    bool attached() const { return !_device.isEmpty() && identityOf(_device) == _backing; }
    bool ok() const { return !_device.isEmpty() && _error.isEmpty(); }
    const QString &error() const { return _error; }

private:
    QString _device;
    QString _backing;
    QString _error;
};

// Releases a device (after unmounting its mounts) while it still has the given identity
// (identityOf); a device released already, and perhaps reused by another test, is left alone.
void releaseDevice(const QString &device, const QString &identity);

// Devices attached through the tool ("hdiutil attach"), released when it goes out of scope.
struct AttachedDevices {
    std::vector<std::pair<QString, QString>> devices; // name, identity
    // Keeps the device of a successful attach; false for any other result.
    bool add(const Result &r);
    bool attach(quint64 sectors, std::optional<uid_t> as, Result *result = nullptr);
    ~AttachedDevices();
};

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
    // For a loop device: what ext4 keeps back.
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
