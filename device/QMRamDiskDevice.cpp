#include "QMRamDiskDevice.h"

#include "QMDiskToolOutput.h"
#include "QMDiskToolPaths.h"
#include "QMExtendedAttributes.h"
#include "QMFileRemover.h"
#include "QMFinderTools.h"
#include "QMFormatRules.h"
#include "QMFunctions.h"
#include "QMKernelFeatures.h"
#include "QMLog.h"
#include "QMMacros.h"
#include "QMMountTable.h"
#include "QMStringsFile.h"
#include "QMVolumeHolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const char *const kClass = "QMRamDiskDevice";

QString localized(const char *message)
{
    return QCoreApplication::translate("Localizable", message);
}

// An error of this class: the message from the string table, the reason in the method
// form with the failing condition last.
#define QM_DeviceError(message, condition, cause)                                                    \
    QMError::errorWithMessage(localized(message),                                                    \
                              qm_detail::methodLine(__func__, __LINE__, QString::fromLatin1(kClass), \
                                                    QStringLiteral(condition)),                      \
                              (cause))

void setError(QMError::Ptr *slot, const QMError::Ptr &error)
{
    if (slot)
        *slot = error;
}

// Runs a disk tool; true only when it ran and exited with 0.
bool runTool(QMDiskTool tool, const QStringList &args, QString *stdOut, QString *stdErr)
{
    qint64 status = 0;
    if (!QMFunctions::executeCommand(QMDiskToolPaths::pathForTool(tool), args, &status, stdOut, stdErr))
        return false;
    return status == 0;
}

// Devices whose file system this process has just written and not yet mounted: the only
// ones that may be erased again to mount them in the default place.
std::mutex gFreshMutex;
std::set<QString> gFreshDevices;

void setFresh(const QString &deviceNode, bool fresh)
{
    std::lock_guard lock(gFreshMutex);
    if (fresh)
        gFreshDevices.insert(deviceNode);
    else
        gFreshDevices.erase(deviceNode);
}

bool isFresh(const QString &deviceNode)
{
    std::lock_guard lock(gFreshMutex);
    return gFreshDevices.count(deviceNode) != 0;
}

// mkdir -p that keeps the errno of the step that failed.
// Creates the path with its missing parents; *created (when given) lists, outermost first,
// the directories made here.
bool makePath(const QString &path, int *errnum, QList<QByteArray> *created = nullptr)
{
    const QByteArray bytes = QFile::encodeName(QDir::cleanPath(path));
    for (qsizetype i = 1; i <= bytes.size(); ++i) {
        if (i < bytes.size() && bytes.at(i) != '/')
            continue;
        const QByteArray part = bytes.left(i);
        const bool made = ::mkdir(part.constData(), 0755) == 0;
        if (made && created)
            created->append(part);
        if (made || errno == EEXIST) {
            struct stat st {};
            if (::stat(part.constData(), &st) == 0 && S_ISDIR(st.st_mode))
                continue;
            *errnum = ENOTDIR;
            return false;
        }
        *errnum = errno;
        return false;
    }
    return true;
}

// The path without a trailing slash (the root stays "/").
QString withoutTrailingSlash(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

// Whether the mount tool may mount in the default parent: it must be writable, and the
// disk tool refuses every place under /media (the desktop's own), whoever asks.
bool defaultParentTakesMounts(const QString &parent)
{
    if (parent == QLatin1String("/media") || parent.startsWith(QLatin1String("/media/")))
        return false;
    return ::access(QFile::encodeName(parent).constData(), W_OK) == 0;
}

// What a tagged RAM disk mounted at `path` is, for the message that leaves it alone.
QString describeMountedRamDisk(const QString &path, const QVariantMap &tag)
{
    qsizetype items = 0;
    if (DIR *dir = ::opendir(QFile::encodeName(path).constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            const QString name = QFile::decodeName(entry->d_name);
            if (name != QLatin1String(".") && name != QLatin1String("..")
                && !QMFinderTools::isSystemFileNameInFolder(name, 0))
                ++items;
        }
        ::closedir(dir);
    }
    return QStringLiteral("%1 holds another RAM disk of Quilmo (device %2, RAM disk %3) with %4 item(s); "
                          "it is left mounted as it is")
        .arg(path, tag.value(QStringLiteral("deviceNode")).toString(), tag.value(QStringLiteral("identifier")).toString())
        .arg(items);
}

bool existsNoFollow(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

QString formattedUUID(const unsigned char *bytes)
{
    const QByteArray raw(reinterpret_cast<const char *>(bytes), 16);
    return QUuid::fromRfc4122(raw).toString(QUuid::WithoutBraces).toUpper();
}

// The block device node of a device number, from sysfs.
QString blockDeviceNode(quint64 deviceNumber)
{
    QFile uevent(QStringLiteral("/sys/dev/block/%1:%2/uevent")
                     .arg(major(static_cast<dev_t>(deviceNumber)))
                     .arg(minor(static_cast<dev_t>(deviceNumber))));
    if (!uevent.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : uevent.readAll().split('\n')) {
        if (line.startsWith("DEVNAME="))
            return QStringLiteral("/dev/") + QString::fromUtf8(line.mid(8));
    }
    return {};
}

// The UUID in an ext2/3/4 superblock, for machines without udev's by-uuid links.
QString ext4SuperblockUUID(const QString &deviceNode)
{
    const int fd = ::open(QFile::encodeName(deviceNode).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    unsigned char sb[1024];
    const ssize_t n = ::pread(fd, sb, sizeof sb, 1024);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof sb) || sb[0x38] != 0x53 || sb[0x39] != 0xEF)
        return {};
    return formattedUUID(sb + 0x68);
}

// The UUID a file system without a block device tells of itself (tmpfs, from Linux 6.7).
QString fileSystemUUIDAtPath(const QString &path)
{
    struct FsUuid
    {
        quint8 length;
        unsigned char uuid[16];
    };
    constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid); // FS_IOC_GETFSUUID
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {};
    FsUuid value {};
    const bool read = ::ioctl(fd, kGetFsUuid, &value) == 0 && value.length == 16;
    ::close(fd);
    return read ? formattedUUID(value.uuid) : QString();
}

} // namespace

// --- Creating a device ---------------------------------------------------------------

QStringList QMRamDiskDevice::attachArguments(quint64 size, bool preferWired)
{
    QStringList args{QStringLiteral("attach"), QStringLiteral("-nomount"), QStringLiteral("-plist"),
                     QStringLiteral("ram://%1").arg(size >> 9)};
    if (size <= wiredMemoryMaxSize && preferWired && QMKernelFeatures::wiredMemory())
        args << QStringLiteral("-kernel");
    return args;
}

QString QMRamDiskDevice::attachDeviceWithSize(quint64 size, bool preferWired, QMError::Ptr *error)
{
    QString stdOut, stdErr;
    if (!runTool(QMDiskTool::Hdiutil, attachArguments(size, preferWired), &stdOut, &stdErr)) {
        setError(error, QM_DeviceError("Unable to create RamDisk", "executeCommand==NO", stdErr));
        return {};
    }
    const QString deviceNode = QMDiskToolOutput::deviceNodeFromAttachOutput(stdOut);
    if (deviceNode.isEmpty()) {
        setError(error, QM_DeviceError("Unable to create RamDisk", "systemEntities", nullptr));
        return {};
    }
    return deviceNode;
}

QStringList QMRamDiskDevice::formatArguments(const QString &name, qint64 format, const QString &deviceNode,
                                             quint64 inodeCount)
{
    QStringList args;
    if (format == 1)
        args << QStringLiteral("-s");
    if (inodeCount > 0)
        args << QStringLiteral("-N") << QString::number(inodeCount);
    args << QStringLiteral("-v") << name << deviceNode;
    return args;
}

quint64 QMRamDiskDevice::inodeCountForItems(quint64 size, quint64 items, QMRamDeviceKind kind)
{
    // A memory instance has its count from its size; the creation checked the items against it.
    if (kind == QMRamDeviceKind::MemoryInstance)
        return 0;
    // The device has whole sectors, as the attach step asks for them.
    return items == 0 ? 0 : QMFormatRules::inodeCountForItems(size / 512 * 512, items);
}

bool QMRamDiskDevice::formatDeviceNode(const QString &deviceNode, const QString &name, qint64 format,
                                       QMError::Ptr *error, quint64 inodeCount)
{
    QString stdOut, stdErr;
    if (!runTool(QMDiskTool::NewfsHfs, formatArguments(name, format, deviceNode, inodeCount), &stdOut, &stdErr)) {
        setError(error, QM_DeviceError("Unable to create RamDisk", "executeCommand==NO", stdErr));
        return false;
    }
    if (!QMDiskToolOutput::isFormatOutputValid(stdOut)) {
        setError(error, QM_DeviceError("Unable to create RamDisk", "lines", nullptr));
        return false;
    }
    setFresh(deviceNode, true);
    return true;
}

// --- Device list and look-ups --------------------------------------------------------

QString QMRamDiskDevice::volumeUUIDForDeviceNumber(quint64 deviceNumber)
{
    const QString node = blockDeviceNode(deviceNumber);
    if (node.isEmpty())
        return {};
    // udev's links are readable by everyone; the superblock only by root and the disk group.
    const QDir byUuid(QStringLiteral("/dev/disk/by-uuid"));
    const QString canonicalNode = QFileInfo(node).canonicalFilePath();
    for (const QFileInfo &link : byUuid.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() != canonicalNode)
            continue;
        const QUuid uuid = QUuid::fromString(link.fileName());
        if (!uuid.isNull())
            return uuid.toString(QUuid::WithoutBraces).toUpper();
    }
    return ext4SuperblockUUID(node);
}

std::optional<QList<QVariantMap>> QMRamDiskDevice::deviceList(bool identity, QMError::Ptr *error)
{
    QString stdOut, stdErr;
    if (!runTool(QMDiskTool::Hdiutil, {QStringLiteral("info"), QStringLiteral("-plist")}, &stdOut, &stdErr)) {
        setError(error, QM_DeviceError("Can execute device list command", "executeCommand==NO", stdErr));
        return std::nullopt;
    }
    QList<QVariantMap> records = QMDiskToolOutput::deviceRecordsFromInfoOutput(stdOut);
    if (!identity)
        return records;
    for (QVariantMap &record : records) {
        const QString mountPoint = record.value(QStringLiteral("mountPoint")).toString();
        if (mountPoint.isEmpty())
            continue;
        struct stat st {};
        if (::stat(QFile::encodeName(mountPoint).constData(), &st) != 0) {
            QM_LogErrorMethod(kClass, QStringLiteral("stat==-1 mountPoint:%1").arg(mountPoint));
            continue;
        }
        QString uuid = volumeUUIDForDeviceNumber(st.st_dev);
        if (uuid.isEmpty())
            uuid = fileSystemUUIDAtPath(mountPoint);
        if (!uuid.isEmpty())
            record.insert(QStringLiteral("uuid"), uuid);
        else
            QM_LogWarningMethod(kClass, QStringLiteral("UUIDRef==NULL mountPoint:%1").arg(mountPoint));
        if (st.st_dev != 0)
            record.insert(QStringLiteral("st_dev"), static_cast<qint32>(st.st_dev));
    }
    return records;
}

QString QMRamDiskDevice::mountPointFromDeviceNode(const QString &deviceNode, QMError::Ptr *error)
{
    if (deviceNode.isEmpty()) {
        setError(error, QM_DeviceError("Incorrect device node", "deviceNode==nil", nullptr));
        return {};
    }
    int errnum = 0;
    const auto entries = QMMountTable::entries(&errnum);
    if (!entries) {
        setError(error, QM_DeviceError("Unable to get device list", "getfsstat==-1",
                                       QMError::Cause::fromErrno(errnum)));
        return {};
    }
    for (const QMMountEntry &entry : *entries) {
        if (entry.device == deviceNode && QMMountTable::isRamDiskVolume(entry))
            return entry.mountPoint;
    }
    return {};
}

QString QMRamDiskDevice::deviceNodeFromPath(const QString &path, QMError::Ptr *error)
{
    if (path.isEmpty()) {
        setError(error, QM_DeviceError("Incorrect device path", "path==nil", nullptr));
        return {};
    }
    int errnum = 0;
    const auto entries = QMMountTable::entries(&errnum);
    if (!entries) {
        setError(error, QM_DeviceError("Can not get device node", "getfsstat==-1", QMError::Cause::fromErrno(errnum)));
        return {};
    }
    const QString wanted = withoutTrailingSlash(path);
    // Mounts can be stacked on Linux; the last one at a place is the one that is seen there.
    QString device;
    for (const QMMountEntry &entry : *entries) {
        if (entry.mountPoint == wanted && QMMountTable::isRamDiskVolume(entry))
            device = entry.device;
    }
    return device;
}

qint8 QMRamDiskDevice::isDeviceAttached(const QString &deviceNode)
{
    if (QMMountTable::isMemoryInstanceName(deviceNode)) {
        // An instance is attached while its own mount is in the disk tool's private place.
        const auto entries = QMMountTable::entries();
        if (!entries)
            return -1;
        const QString place = QLatin1String(QMFormatRules::kMemoryInstancePlace) + QLatin1Char('/') + deviceNode;
        for (const QMMountEntry &entry : *entries) {
            if (entry.device == deviceNode && entry.fsType == QLatin1String("tmpfs") && entry.mountPoint == place)
                return 1;
        }
        return 0;
    }
    const QString name = deviceNode.mid(5); // without "/dev/"
    if (!deviceNode.startsWith(QLatin1String("/dev/loop")) || name.size() == 4)
        return -1;
    for (const QChar c : name.mid(4))
        if (!c.isDigit())
            return -1;
    // A detached loop device keeps its node but loses its backing file.
    QFile backing(QStringLiteral("/sys/class/block/%1/loop/backing_file").arg(name));
    if (backing.open(QIODevice::ReadOnly))
        return backing.readAll().trimmed().isEmpty() ? 0 : 1;
    return QFileInfo::exists(QStringLiteral("/sys/class/block")) ? 0 : -1;
}

std::optional<bool> QMRamDiskDevice::isCaseSensitiveVolumeAtPath(const QString &path)
{
    // Both realisations mark a case-insensitive volume's root directory with the casefold
    // flag, which every directory made below it inherits.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    int flags = 0;
    const bool read = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    // A file system without such flags (tmpfs before 6.0) knows no case folding either.
    if (!read)
        return true;
    return !(flags & FS_CASEFOLD_FL);
}

qint8 QMRamDiskDevice::hasMountedVolumeAtPath(const QString &path)
{
    if (path.isEmpty())
        return QMMountStateUnknown;
    const QString clean = withoutTrailingSlash(path);
    const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
    QString parent = slash > 0 ? clean.left(slash) : slash == 0 ? QStringLiteral("/") : QString();
    if (parent.isEmpty() || parent == clean)
        return QMMountStateUnknown;

    struct stat parentStat {}, pathStat {};
    const bool parentOk = ::stat(QFile::encodeName(parent).constData(), &parentStat) == 0;
    if (!parentOk)
        QM_LogErrorMethod(kClass, QStringLiteral("devNumber==nil parent:%1 error:%2")
                                      .arg(parent, QString::fromLocal8Bit(strerror(errno))));
    const bool pathOk = ::stat(QFile::encodeName(clean).constData(), &pathStat) == 0;
    if (!pathOk)
        QM_LogErrorMethod(kClass, QStringLiteral("devNumber1==nil error:%1").arg(QString::fromLocal8Bit(strerror(errno))));
    if (!parentOk || !pathOk)
        return QMMountStateUnknown;
    return parentStat.st_dev == pathStat.st_dev ? QMMountStateNone : QMMountStateMounted;
}

// --- Mounting and ejecting -----------------------------------------------------------

namespace {
std::mutex gDefaultDirMutex;
QString gDefaultDirOverride;
} // namespace

void QMRamDiskDevice::setDefaultVolumesDirectoryForTesting(const QString &path)
{
    std::lock_guard lock(gDefaultDirMutex);
    gDefaultDirOverride = path;
}

QString QMRamDiskDevice::defaultVolumesDirectory()
{
    {
        std::lock_guard lock(gDefaultDirMutex);
        if (!gDefaultDirOverride.isNull())
            return gDefaultDirOverride;
    }
    QString user;
    if (const passwd *pw = ::getpwuid(::getuid()))
        user = QString::fromLocal8Bit(pw->pw_name);
    if (user.isEmpty())
        user = qEnvironmentVariable("USER");
    return QStringLiteral("/media/") + user;
}

QString QMRamDiskDevice::mountPathForDirectory(const QString &directory, const QString &name)
{
    const QString parent = directory.isNull() ? defaultVolumesDirectory() : withoutTrailingSlash(directory);
    return parent == QLatin1String("/") ? QLatin1Char('/') + name : parent + QLatin1Char('/') + name;
}

QMError::Ptr QMRamDiskDevice::mountDeviceNode(const QString &deviceNode, const QString &directory,
                                              const QString &name, qint64 format, qint64 type,
                                              const QString &identifier, QString *mountedPath)
{
    Q_UNUSED(type);
    if (deviceNode.isEmpty())
        QM_CriticalException(kClass, "devNode==nil");
    if (name.isEmpty())
        QM_CriticalException(kClass, "name==nil");
    // The name becomes the last component of the mount path; without one, or with one that
    // leads elsewhere, the volume would cover the parent directory or a stranger's.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return QM_DeviceError("Unable to mount disk", "isLegalFilename==NO", name);

    QString mountPath;
    bool alreadyMounted = false;
    QList<QByteArray> createdDirs;
    if (directory.isNull() && !defaultParentTakesMounts(defaultVolumesDirectory())) {
        // The default place is the desktop's, not ours to mount in: the disk utility erases
        // the device and mounts it there itself. Erasing is only harmless on a device this
        // process has just formatted; a RAM disk with data is never wiped to mount it.
        if (!isFresh(deviceNode))
            return QM_DeviceError("Unable to erase and mount disk", "isFreshDevice==NO",
                                  localized("The RAM disk holds data; mounting it in the default place would erase it"));
        QString stdErr;
        const QString fsName = format == 1 ? QStringLiteral("Case-sensitive HFS+") : QStringLiteral("HFS+");
        if (!runTool(QMDiskTool::Diskutil, {QStringLiteral("erasevolume"), fsName, name, deviceNode}, nullptr,
                     &stdErr))
            return QM_DeviceError("Unable to erase and mount disk", "executeCommand:", stdErr);
    } else {
        mountPath = mountPathForDirectory(directory, name);

        if (existsNoFollow(mountPath)) {
            const QFileInfo info(mountPath);
            if (info.isSymLink() || !info.isDir())
                return QM_DeviceError("The target is not a directory", "isDir==NO", nullptr);
            const qint8 state = hasMountedVolumeAtPath(mountPath);
            if (state == QMMountStateUnknown)
                return QM_DeviceError("Unable to get mount information", "state==-1", nullptr);
            if (state == QMMountStateMounted) {
                QVariantMap tag;
                if (!getExtentedRamDiskInfos(&tag, mountPath))
                    return QM_DeviceError("Another volume is mounted", "getExtentedAttribute==NO", nullptr);
                // A tag is only believed when it names the device that is really mounted
                // there: a stale or copied tag must never make us detach another RAM disk.
                const QString tagDevice = tag.value(QStringLiteral("deviceNode")).toString();
                const QString mountedDevice = deviceNodeFromPath(mountPath, nullptr);
                if (tagDevice.isEmpty() || tagDevice != mountedDevice)
                    return QM_DeviceError("Another volume is mounted", "getExtentedAttribute==NO", nullptr);
                if (tagDevice == deviceNode) {
                    // Our own device is already there: nothing to unmount, only to re-tag.
                    alreadyMounted = true;
                } else {
                    // Another RAM disk, of another record or an orphan of this one (a
                    // creation killed after mounting it): its files are someone's, and
                    // mounting is no reason to throw them away. The engine adopts its own
                    // orphans before it gets here.
                    return QM_DeviceError("Another volume is mounted", "tag.deviceNode!=deviceNode",
                                          describeMountedRamDisk(mountPath, tag));
                }
            }
        } else {
            int errnum = 0;
            if (!makePath(mountPath, &errnum, &createdDirs))
                return QM_DeviceError("Unable to mount disk", "createDirectoryAtPath", QMError::Cause::fromErrno(errnum));
        }

        if (!alreadyMounted) {
            QStringList args{QStringLiteral("-o"), QStringLiteral("noatime")};
            if (!directory.isNull())
                args << QStringLiteral("-o") << QStringLiteral("nobrowse");
            args << QStringLiteral("-t") << QStringLiteral("hfs") << deviceNode << mountPath;
            QString stdErr;
            if (!runTool(QMDiskTool::Mount, args, nullptr, &stdErr)) {
                // A refused mount leaves no empty directories of ours behind.
                for (auto it = createdDirs.crbegin(); it != createdDirs.crend(); ++it)
                    ::rmdir(it->constData());
                return QM_DeviceError("Unable to mount disk", "executeCommand:", stdErr);
            }
        }
    }
    setFresh(deviceNode, false);

    QMError::Ptr lookupError;
    const QString mountPoint = mountPointFromDeviceNode(deviceNode, &lookupError);
    if (mountPoint.isEmpty())
        return QM_DeviceError("Unable to get mount point", "mountedPath==nil", lookupError);

    const QVariantMap tag{{QStringLiteral("identifier"), identifier}, {QStringLiteral("deviceNode"), deviceNode}};
    if (!setExtendedRamDiskInfos(tag, mountPoint))
        return QM_DeviceError("Unable set extended info", "setExtendedRamDiskInfos==NO", nullptr);
    if (mountedPath)
        *mountedPath = mountPoint;
    return nullptr;
}

QStringList QMRamDiskDevice::resizeArguments(const QString &deviceNode, quint64 size)
{
    return {QStringLiteral("resize"), QStringLiteral("-size"), QString::number(size / 512), deviceNode};
}

QMError::Ptr QMRamDiskDevice::resizeDeviceNode(const QString &deviceNode, quint64 size)
{
    QString stdOut, stdErr;
    if (!runTool(QMDiskTool::Hdiutil, resizeArguments(deviceNode, size), &stdOut, &stdErr))
        return QM_DeviceError("Unable to resize RamDisk", "executeCommand==NO", stdErr.trimmed());
    return nullptr;
}

QMError::Ptr QMRamDiskDevice::ejectRamDiskDeviceNode(const QString &deviceNode, const QString &path, bool removeDir,
                                                     bool force, QString *warning)
{
    if (deviceNode.isEmpty())
        return QM_DeviceError("Unable to eject disk", "deviceNode==nil", nullptr);

    // A directory that is plainly not a mount point has nothing to unmount (the RAM disk
    // was unmounted already); the device is still detached.
    if (!path.isEmpty() && existsNoFollow(path) && hasMountedVolumeAtPath(path) != QMMountStateNone) {
        QString stdErr;
        if (force) {
            // The tool's forced unmount takes the volume away from its users as well.
            const QList<QMVolumeHolders::Holder> holders = QMVolumeHolders::holdersOfVolumeAtPath(path);
            if (!holders.isEmpty()) {
                const QString text = localized("The volume %1 was in use by %2; it was ejected anyway, and what "
                                               "they write to it from now on is lost")
                                         .arg(path, QMVolumeHolders::describe(holders));
                QM_LogWarningMethod(kClass, text);
                if (warning)
                    *warning = text;
            }
        }
        const QStringList args = force ? QStringList{QStringLiteral("-f"), path} : QStringList{path};
        if (!runTool(QMDiskTool::Umount, args, nullptr, &stdErr)) {
            // Busy: it stays mounted, and the user learns who keeps it.
            const QList<QMVolumeHolders::Holder> holders = QMVolumeHolders::holdersOfVolumeAtPath(path);
            if (!holders.isEmpty())
                return QM_DeviceError("Unable to eject disk", "volumeIsBusy",
                                      localized("The volume %1 is in use by %2. Quit them or close their files, "
                                                "then eject again.")
                                          .arg(path, QMVolumeHolders::describe(holders)));
            return QM_DeviceError("Unable to eject disk", "executeCommand==NO", stdErr);
        }

        if (removeDir && QFileInfo(path).isDir()) {
            // Remove the emptied mount directory unless it holds something of the user's.
            bool keep = false;
            DIR *dir = ::opendir(QFile::encodeName(path).constData());
            if (!dir) {
                // Without a listing nothing proves the directory empty: keep it.
                QM_LogErrorMethod(kClass, QStringLiteral("contents==nil error:%1")
                                              .arg(QString::fromLocal8Bit(strerror(errno))));
                keep = true;
            } else {
                while (const dirent *entry = ::readdir(dir)) {
                    const QString entryName = QFile::decodeName(entry->d_name);
                    if (entryName.isEmpty() || entryName == QLatin1String(".") || entryName == QLatin1String(".."))
                        continue;
                    // A bookkeeping file (".DS_Store") may go with the directory; a folder
                    // under such a name (".Trash") holds files and is the user's.
                    struct stat st {};
                    if (!QMFinderTools::isSystemFileNameInFolder(entryName, 0)
                        || fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
                        keep = true;
                        break;
                    }
                }
                ::closedir(dir);
            }
            if (!keep) {
                const QMFileRemover::Result removal = QMFileRemover::removePath(path);
                if (!removal.ok())
                    QM_LogErrorMethod(kClass, QStringLiteral("removeItemAtPath:error: path:%1 error:%2")
                                                  .arg(path, removal.summary()));
            }
        }
    }

    QString stdErr;
    // Forced: a volume someone still holds keeps its device until they let go, and then
    // the kernel releases it.
    const QStringList detachArgs = force ? QStringList{QStringLiteral("detach"), QStringLiteral("-force"), deviceNode}
                                         : QStringList{QStringLiteral("detach"), deviceNode};
    if (!runTool(QMDiskTool::Hdiutil, detachArgs, nullptr, &stdErr))
        return QM_DeviceError("Unable to eject disk", "executeCommand==NO", stdErr);
    setFresh(deviceNode, false);
    return nullptr;
}

QMError::Ptr QMRamDiskDevice::forceEjectRamDiskAtPath(const QString &path, QString *warning)
{
    QMError::Ptr error;
    const QString deviceNode = deviceNodeFromPath(path, &error);
    if (deviceNode.isEmpty())
        return error;
    return ejectRamDiskDeviceNode(deviceNode, path, true, true, warning);
}

// --- Post-command paths --------------------------------------------------------------

QString QMRamDiskDevice::completePostCommand(const QString &command)
{
    if (command.trimmed().isEmpty())
        return command;
    if (command.contains(QLatin1Char('/')) || command.contains(QLatin1Char(' ')) || command.contains(QLatin1Char('~')))
        return command;
    for (const char *dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
        const QString candidate = QLatin1String(dir) + QLatin1Char('/') + command;
        if (existsNoFollow(candidate))
            return candidate;
    }
    return command;
}

bool QMRamDiskDevice::canStartPostCommand(const QString &path, QString *raison)
{
    if (path.isEmpty() || path == QLatin1String("/"))
        return QM_ReturnNoWithMessage(localized("The path is not correct"), raison);
    const QByteArray bytes = QFile::encodeName(path);
    struct stat st {};
    if (::stat(bytes.constData(), &st) != 0)
        return QM_ReturnNoWithMessage(localized("The command file does not exist"), raison);
    if (S_ISDIR(st.st_mode))
        return QM_ReturnNoWithMessage(localized("The command file can not be a directory"), raison);
    if (::access(bytes.constData(), X_OK) != 0)
        return QM_ReturnNoWithMessage(localized("The file path is not executable"), raison);
    return true;
}

// --- Volume tag ----------------------------------------------------------------------

bool QMRamDiskDevice::setExtendedRamDiskInfos(const QVariantMap &infos, const QString &path)
{
    const QByteArray value = QMStringsFile::textFromMap(infos).toUtf8();
    if (path.isEmpty() || value.isEmpty())
        return false;
    return QMSetExtendedAttribute(value.constData(), static_cast<size_t>(value.size()), QMVolumeTagAttributeName,
                                  QFile::encodeName(path).constData());
}

bool QMRamDiskDevice::getExtentedRamDiskInfos(QVariantMap *infos, const QString &path)
{
    if (path.isEmpty())
        return false;
    void *buffer = nullptr;
    size_t length = 0;
    if (!QMGetExtentedAttribute(&buffer, &length, QMVolumeTagAttributeName, QFile::encodeName(path).constData()))
        return false;
    const QByteArray bytes(static_cast<const char *>(buffer), static_cast<qsizetype>(length));
    std::free(buffer);
    QVariantMap map;
    if (!QMStringsFile::mapFromUtf8(bytes, &map) || map.isEmpty())
        return false;
    if (infos)
        *infos = map;
    return true;
}
