#include "QMRamDiskManager.h"

#include "QMBrowserInstallations.h"
#include "QMDesktopEntry.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMMacros.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "QMVolumeRules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QMutex>
#include <QStandardPaths>
#include <QThread>

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char *kTable = "QMRamDiskLocalizable";

QString localized(const char *key)
{
    return QCoreApplication::translate(kTable, key);
}

QString homePath()
{
    return QDir::cleanPath(QDir::homePath());
}

QString homeJoined(const char *relative)
{
    return homePath() + u'/' + QLatin1String(relative);
}

bool isDirectory(const QString &path)
{
    return QFileInfo(path).isDir();
}

// ---- Applications ----------------------------------------------------------------------

// The fixed application places, under the applications root that tests may move.
QString fixedPath(const char *path)
{
    return QMBrowserInstallations::underRoot(QLatin1String(path));
}

QString existingPath(const QString &path)
{
    return QFileInfo::exists(path) ? path : QString();
}

// "CFBundleShortVersionString" of a bundle's Contents/Info.plist (XML or binary).
QString bundleShortVersion(const QString &bundlePath)
{
    if (bundlePath.isEmpty())
        return {};
    QFile f(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.read(4 * 1024 * 1024);
    if (data.isEmpty())
        return {};
    plist_t root = nullptr;
    plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &root);
    if (!root)
        return {};
    QString version;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(root, "CFBundleShortVersionString");
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char *value = nullptr;
            plist_get_string_val(node, &value);
            if (value)
                version = QString::fromUtf8(value);
            free(value);
        }
    }
    plist_free(root);
    return version;
}

// The integer before the first "."; -1 when there is none.
int majorVersion(const QString &version)
{
    bool ok = false;
    const int major = version.section(u'.', 0, 0).trimmed().toInt(&ok);
    return ok ? major : -1;
}

// The first "AppCode…" directory of the caches, found once per home directory.
QString appCodeCacheName()
{
    static QMutex mutex;
    static QHash<QString, QString> names;
    const QString home = homePath();
    {
        QMutexLocker lock(&mutex);
        const auto it = names.constFind(home);
        if (it != names.constEnd())
            return *it;
    }
    QString found;
    const QString caches = homeJoined("Library/Caches");
    std::error_code ec;
    std::filesystem::directory_iterator it(QFile::encodeName(caches).toStdString(), ec);
    if (ec) {
        QM_LogErrorFunction(QStringLiteral("dirContent==nil error:%1").arg(QString::fromStdString(ec.message())));
    } else {
        for (const auto &entry : it) {
            const QString name = QFile::decodeName(QByteArray::fromStdString(entry.path().filename().string()));
            std::error_code dirEc;
            if (name.startsWith(QLatin1String("AppCode")) && entry.is_directory(dirEc)) {
                found = name;
                break;
            }
        }
    }
    QMutexLocker lock(&mutex);
    names.insert(home, found);
    return found;
}

// Statuses 0 and -1 carry the reason, so that the user can be told why a preset is missing.
QVariantMap preset(int status, const QString &reason = QString())
{
    QVariantMap map{{QStringLiteral("status"), status}};
    if (!reason.isEmpty())
        map.insert(QStringLiteral("reason"), reason);
    return map;
}

QString notInstalled(const char *application)
{
    return localized("%@ is not installed").replace(QStringLiteral("%@"), QLatin1String(application));
}

QString tooOld(const char *application, int minimumMajor, const QString &found)
{
    return localized("%1 %2 or later is needed (found %3)")
        .arg(QLatin1String(application))
        .arg(minimumMajor)
        .arg(found.isEmpty() ? localized("no readable version") : found);
}

QVariantMap preset(const QString &name, const QString &mountDirectory, quint64 size)
{
    return {{QStringLiteral("status"), 1},
            {QStringLiteral("name"), name},
            {QStringLiteral("mountDirectory"), mountDirectory},
            {QStringLiteral("size"), QVariant::fromValue<quint64>(size)}};
}

QVariantMap presetIfDirectory(const QString &directory, const QString &name, quint64 size)
{
    if (isDirectory(directory))
        return preset(name, directory, size);
    return preset(0, localized("The folder %@ is missing").replace(QStringLiteral("%@"), directory));
}

// The browsers' caches live in the directory the RAM disk covers: it is moved aside, copied
// in and kept in step, so the cache the user had survives the RAM disk ("backupMode" 3).
QVariantMap withBaseSynchronized(QVariantMap preset)
{
    if (preset.value(QStringLiteral("status")).toInt() == 1)
        preset.insert(QStringLiteral("backupMode"), 3);
    return preset;
}

const char *browserName(QMBrowserInstallations::Browser browser)
{
    switch (browser) {
    case QMBrowserInstallations::Firefox: return "Firefox";
    case QMBrowserInstallations::Chromium: return "Chromium";
    default: return "Google Chrome";
    }
}

// A browser's preset: the installation the desktop's default browser names (or the first
// found), its version above the floor, and the cache directory of that installation; the
// record says which installation it is ("application", "version", "installation").
QVariantMap browserPreset(QMBrowserInstallations::Browser browser, int minimumMajor, const QString &cacheSubdirectory,
                          const QString &name)
{
    const auto inst = QMBrowserInstallations::preferred(browser);
    if (!inst)
        return preset(-1, notInstalled(browserName(browser)));
    QVariantMap map = majorVersion(inst->version) < minimumMajor
                          ? preset(0, tooOld(browserName(browser), minimumMajor, inst->version))
                          : withBaseSynchronized(presetIfDirectory(inst->cacheHome + cacheSubdirectory, name, 1000000000ULL));
    map.insert(QStringLiteral("application"), QStringLiteral("%1 %2 (%3)")
                                                  .arg(QLatin1String(browserName(browser)),
                                                       inst->version.isEmpty() ? localized("no readable version")
                                                                               : inst->version,
                                                       inst->place()));
    map.insert(QStringLiteral("version"), inst->version);
    map.insert(QStringLiteral("installation"), inst->place());
    return map;
}

// ---- Mount-directory rules ---------------------------------------------------------------

bool isSystemDirectory(const QString &path)
{
    return QMVolumeRules::isInSystemDirectory(QFile::encodeName(path).toStdString());
}

// Network file systems by their magic numbers; FUSE ones by their subtype.
bool isNetworkFileSystem(long type, const QString &fuseType)
{
    switch (static_cast<unsigned long>(type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFE534D42UL: // SMB2
    case 0xFF534D42UL: // CIFS
    case 0x5346414FUL: // AFS
    case 0x6B414653UL: // kAFS
    case 0x00C36400UL: // Ceph
    case 0x01021997UL: // 9p
    case 0x564CUL:     // NCP
    case 0x73757245UL: // Coda
    case 0x0BD00BD0UL: // Lustre
    case 0x47504653UL: // GPFS
        return true;
    default:
        break;
    }
    static const QStringList networkFuse = {
        QStringLiteral("sshfs"),     QStringLiteral("rclone"),    QStringLiteral("s3fs"),
        QStringLiteral("gvfsd-fuse"), QStringLiteral("curlftpfs"), QStringLiteral("davfs"),
        QStringLiteral("glusterfs"), QStringLiteral("cephfs"),    QStringLiteral("smbnetfs"),
        QStringLiteral("gcsfuse"),   QStringLiteral("goofys"),    QStringLiteral("httpdirfs"),
    };
    return !fuseType.isEmpty() && networkFuse.contains(fuseType);
}

// The FUSE subtype ("sshfs") of the mount holding `path`, from the mount table.
QString fuseSubtype(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    const QString device = QStringLiteral("%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev));
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3 || QString::fromLatin1(fields.at(2)) != device)
            continue;
        const qsizetype dash = fields.indexOf("-");
        if (dash < 0 || dash + 1 >= fields.size())
            continue;
        const QString type = QString::fromLatin1(fields.at(dash + 1));
        if (type.startsWith(QLatin1String("fuse.")))
            return type.mid(5);
        if (type.startsWith(QLatin1String("fuseblk.")))
            return type.mid(8);
        return type;
    }
    return {};
}

// Whether the volume holding `path` is on this machine; a failing question sets *failure.
bool isLocalVolume(const QString &path, QString *failure)
{
    struct statfs fs {};
    if (::statfs(QFile::encodeName(path).constData(), &fs) != 0) {
        *failure = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    const QString fuse = static_cast<unsigned long>(fs.f_type) == 0x65735546UL ? fuseSubtype(path) : QString();
    return !isNetworkFileSystem(static_cast<long>(fs.f_type), fuse);
}

// What quilmo-disktool's mount will refuse about the place dir/name, decided here so
// that nothing is attached, formatted or created for a mount that cannot happen. The
// mount tool opens the whole path without following any link, wants the caller to own
// the place, and covers no volume but a RAM disk of Quilmo's.
bool mountToolAccepts(const QString &directory, const QString &name, QString *message)
{
    std::string normalized;
    const QByteArray joined = QFile::encodeName(directory + u'/' + name);
    if (const char *problem = QMVolumeRules::pathTextProblem(joined.toStdString(), &normalized))
        return QM_ReturnNoWithMessage(localized(problem), message);
    if (QMVolumeRules::isInSystemDirectory(normalized))
        return QM_ReturnNoWithMessage(localized(QMVolumeRules::kSystemDirectory), message);
    struct stat st {};
    for (size_t end = normalized.find('/', 1);; end = normalized.find('/', end + 1)) {
        if (::lstat(normalized.substr(0, end).c_str(), &st) != 0)
            return true; // the rest is made by the mount step, as the caller
        if (S_ISLNK(st.st_mode))
            return QM_ReturnNoWithMessage(localized(QMVolumeRules::kSymbolicLink), message);
        if (end == std::string::npos)
            break;
    }
    if (!S_ISDIR(st.st_mode))
        return QM_ReturnNoWithMessage(localized(QMVolumeRules::kNotADirectory), message);
    const QString mountPath = QFile::decodeName(QByteArray::fromStdString(normalized));
    if (QMRamDiskDevice::hasMountedVolumeAtPath(mountPath) == QMMountStateMounted) {
        // A RAM disk of ours still there is unmounted first; anything else stays.
        QVariantMap tag;
        if (!QMRamDiskDevice::getExtentedRamDiskInfos(&tag, mountPath))
            return QM_ReturnNoWithMessage(localized(QMVolumeRules::kForeignMount), message);
        return true;
    }
    const uid_t uid = ::getuid();
    if (uid != 0 && st.st_uid != uid)
        return QM_ReturnNoWithMessage(localized(QMVolumeRules::kNotOwned), message);
    return true;
}

bool hasOnlySpacesAndTabs(const QString &name)
{
    for (QChar c : name) {
        if (c != u' ' && c != u'\t')
            return false;
    }
    return true;
}

// ---- Icons -------------------------------------------------------------------------------

QString appIconName(const QString &bundleIdentifier)
{
    const QMRunningApplications::Application app = QMRunningApplications::applicationForIdentifier(bundleIdentifier);
    QMDesktopEntry entry;
    if (app.desktopFileIds.isEmpty() || !entry.loadFirst(app.desktopFileIds))
        return {};
    return entry.icon();
}

} // namespace

// ---- Support directory ---------------------------------------------------------------------

QString QMRamDiskManager::appSupportPath()
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty()) {
        QM_LogErrorMethod("QMRamDiskManager", QStringLiteral("dirPath==nil"));
        return {};
    }
    const QString dirPath = QDir::cleanPath(dataHome) + u'/' + QMRamDiskUtils::bundleIdentifier();
    const QFileInfo info(dirPath);
    if (info.isDir())
        return dirPath;
    if (info.exists() || info.isSymLink()) {
        QM_LogErrorMethod("QMRamDiskManager", QStringLiteral("createDirectoryAtPath==NO dirPath:%1 error:%2")
                                                  .arg(dirPath, QString::fromLocal8Bit(strerror(EEXIST))));
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(QFile::encodeName(dirPath).toStdString(), ec);
    if (ec) {
        QM_LogErrorMethod("QMRamDiskManager", QStringLiteral("createDirectoryAtPath==NO dirPath:%1 error:%2")
                                                  .arg(dirPath, QString::fromStdString(ec.message())));
        return {};
    }
    // It holds the list and the backups of RAM-disk contents: the user's alone.
    ::chmod(QFile::encodeName(dirPath).constData(), 0700);
    return dirPath;
}

// ---- Applications --------------------------------------------------------------------------

QString QMRamDiskManager::favoriteSafariPath()
{
    return existingPath(fixedPath("/Applications/Safari.app"));
}

QString QMRamDiskManager::favoriteXcodePath()
{
    return existingPath(fixedPath("/Applications/Xcode.app"));
}

QString QMRamDiskManager::favoriteFirefoxAppPath()
{
    const auto firefox = QMBrowserInstallations::preferred(QMBrowserInstallations::Firefox);
    return firefox ? firefox->executable : QString();
}

QString QMRamDiskManager::favoriteChromeAppPath()
{
    const auto chrome = QMBrowserInstallations::preferred(QMBrowserInstallations::Chrome);
    return chrome ? chrome->program : QString();
}

QString QMRamDiskManager::favoriteChromiumAppPath()
{
    const auto chromium = QMBrowserInstallations::preferred(QMBrowserInstallations::Chromium);
    return chromium ? chromium->executable : QString();
}

void QMRamDiskManager::setApplicationsRootForTesting(const QString &root)
{
    QMBrowserInstallations::setApplicationsRootForTesting(root.isEmpty() ? QString() : QDir::cleanPath(root));
}

// ---- Presets -------------------------------------------------------------------------------

std::optional<QVariantMap> QMRamDiskManager::creationInfosOfRamDiskType(qint64 type, const QString &simId)
{
    switch (type) {
    case 0:
        return preset(1);
    case 2:
        if (favoriteSafariPath().isEmpty())
            return preset(-1, notInstalled("Safari"));
        return presetIfDirectory(homeJoined("Library/Caches"), QStringLiteral("com.apple.Safari"), 1000000000ULL);
    case 3:
        if (favoriteXcodePath().isEmpty())
            return preset(-1, notInstalled("Xcode"));
        return presetIfDirectory(homeJoined("Library/Developer/Xcode"), QStringLiteral("DerivedData"), 4000000000ULL);
    case 4: {
        const QString xcode = favoriteXcodePath();
        if (xcode.isEmpty() || !bundleShortVersion(xcode).startsWith(QLatin1String("5.")))
            return preset(-1, notInstalled("Xcode 5"));
        return presetIfDirectory(homeJoined("Library/Application Support"), QStringLiteral("iPhone Simulator"),
                                 4000000000ULL);
    }
    case 5: {
        const QString xcode = favoriteXcodePath();
        const QString version = xcode.isEmpty() ? QString() : bundleShortVersion(xcode);
        if (version.isEmpty() || version.startsWith(QLatin1String("3.")) || version.startsWith(QLatin1String("4."))
            || version.startsWith(QLatin1String("5.")))
            return preset(-1, notInstalled("Xcode 6 or later"));
        if (simId.isEmpty())
            return presetIfDirectory(homeJoined("Library/Developer"), QStringLiteral("CoreSimulator"), 4000000000ULL);
        // A device identifier is one directory name, never a way out of the devices directory.
        const QString noDevice = localized("The simulator device %@ is missing").replace(QStringLiteral("%@"), simId);
        if (simId.contains(u'/') || simId == QLatin1String(".") || simId == QLatin1String(".."))
            return preset(0, noDevice);
        const QString devices = homeJoined("Library/Developer/CoreSimulator/Devices");
        if (!isDirectory(devices + u'/' + simId))
            return preset(0, noDevice);
        return preset(simId, devices, 1000000000ULL);
    }
    case 6: {
        if (!QFileInfo::exists(fixedPath("/Applications/AppCode.app")))
            return preset(-1, notInstalled("AppCode"));
        const QString caches = homeJoined("Library/Caches");
        const QString name = appCodeCacheName();
        if (name.isEmpty())
            return preset(0, localized("AppCode has no cache folder yet"));
        return presetIfDirectory(caches, name, 4000000000ULL);
    }
    case 7:
        return browserPreset(QMBrowserInstallations::Firefox, 54, QStringLiteral("/mozilla"), QStringLiteral("firefox"));
    case 8:
        return browserPreset(QMBrowserInstallations::Chrome, 60, QString(), QStringLiteral("google-chrome"));
    case 9:
        return browserPreset(QMBrowserInstallations::Chromium, 60, QString(), QStringLiteral("chromium"));
    default:
        return std::nullopt;
    }
}

// ---- Running applications ------------------------------------------------------------------

bool QMRamDiskManager::hasRunningApplication(const QString &bundleIdentifier, QString *message)
{
    if (message)
        *message = QString();
    if (QMRunningApplications::processIds(bundleIdentifier).isEmpty())
        return false;
    if (message) {
        QString text = localized("%@ is running");
        text.replace(QStringLiteral("%@"), QMRunningApplications::localizedName(bundleIdentifier));
        *message = text;
    }
    return true;
}

bool QMRamDiskManager::hasRunningAppForType(qint64 type, QString *message)
{
    if (message)
        *message = QString();
    switch (type) {
    case 2:
        return hasRunningApplication(QStringLiteral("com.apple.Safari"), message);
    case 3:
        return hasRunningApplication(QStringLiteral("com.apple.dt.Xcode"), message)
            || hasRunningApplication(QStringLiteral("com.apple.iphonesimulator"), message);
    case 4:
    case 5:
        return hasRunningApplication(QStringLiteral("com.apple.iphonesimulator"), message);
    case 6:
        return hasRunningApplication(QStringLiteral("com.jetbrains.AppCode"), message);
    case 7:
        return hasRunningApplication(QStringLiteral("org.mozilla.firefox"), message);
    case 8:
        return hasRunningApplication(QStringLiteral("com.google.Chrome"), message);
    case 9:
        return hasRunningApplication(QStringLiteral("org.chromium.Chromium"), message);
    default:
        return false;
    }
}

// ---- Validation ----------------------------------------------------------------------------

bool QMRamDiskManager::canCreateWithName(const QString &name, quint64 size, qint64 type,
                                         const QString &mountDirectory, QString *message)
{
    if (message)
        *message = QString();
    if (hasRunningAppForType(type, message))
        return false;
    if (name.isEmpty() || hasOnlySpacesAndTabs(name))
        return QM_ReturnNoWithMessage(localized("Please, specify a name of RamDisk"), message);
    // "." and ".." would put the volume over the mount directory or its parent.
    if (!QMFunctions::isLegalFilename(name) || name == QLatin1String(".") || name == QLatin1String(".."))
        return QM_ReturnNoWithMessage(localized("The name contains invalid character."), message);
    // The disk tool's own rule of names (bytes, not characters, count), with its reason.
    const QByteArray utf8 = name.toUtf8();
    if (const char *problem = QMVolumeRules::nameProblem(std::string_view(utf8.constData(), size_t(utf8.size()))))
        return QM_ReturnNoWithMessage(localized(problem), message);
    if (size < minimumSize || size > maximumSize)
        return QM_ReturnNoWithMessage(localized("Please, specify a correct size of RamDisk"), message);
    if (!mountDirectory.isNull() && !canUseMountDirectory(mountDirectory, name, type, message))
        return false;
    // A preset's own place passes the check above unexamined; the mount tool still has its say.
    if (!mountDirectory.isEmpty() && type != 0 && !mountToolAccepts(mountDirectory, name, message))
        return false;
    const quint64 memory = QMMacInfo::physicalMemory();
    const quint64 reserve = QMVolumeRules::memoryReserve(memory);
    if (size + reserve > memory)
        return QM_ReturnNoWithMessage(localized("Insuffisant computer memory"), message);
    return true;
}

bool QMRamDiskManager::canResizeToSize(quint64 size, quint64 usedBytes, QString *message)
{
    *message = QString();
    if (size < minimumSize || size > maximumSize)
        return QM_ReturnNoWithMessage(localized("Please, specify a correct size of RamDisk"), message);
    const quint64 memory = QMMacInfo::physicalMemory();
    if (size + QMVolumeRules::memoryReserve(memory) > memory)
        return QM_ReturnNoWithMessage(localized("Insuffisant computer memory"), message);
    // The disk tool's own margin: programs writing to it keep a little room.
    if (size < usedBytes + (usedBytes + 99) / 100)
        return QM_ReturnNoWithMessage(localized("The RamDisk holds more than that size leaves room for."), message);
    return true;
}

quint64 QMRamDiskManager::nextSizeStep(quint64 size)
{
    quint64 step = 2 * 128000000ULL;
    while (step <= size && step <= maximumSize)
        step *= 2;
    QString ignored;
    return canResizeToSize(step, 0, &ignored) ? step : 0;
}

bool QMRamDiskManager::canUseMountDirectory(const QString &mountDirectory, const QString &name, qint64 type,
                                            QString *message)
{
    if (message)
        *message = QString();
    if (type != 0)
        return true;
    if (mountDirectory.isEmpty() || name.isEmpty())
        return QM_ReturnNoWithMessage(localized("The mount directory is not specified."), message);

    const QFileInfo info(mountDirectory);
    if (!info.exists())
        return QM_ReturnNoWithMessage(localized("The mount directory does not exist."), message);
    if (!info.isDir())
        return QM_ReturnNoWithMessage(localized("The mount directory is not a directory."), message);

    QString failure;
    if (!isLocalVolume(mountDirectory, &failure)) {
        if (!failure.isNull())
            QM_LogErrorMethod("QMRamDiskManager", QStringLiteral("getResourceValue==NO URL:%1 error:%2")
                                                      .arg(QUrl::fromLocalFile(mountDirectory).toString(), failure));
        return QM_ReturnNoWithMessage(localized("The mount directory is not local."), message);
    }

    // The rules hold for the path as written and for where it really leads, so that neither
    // ".." nor a symbolic link walks around them.
    const QString written = QDir::cleanPath(QDir(mountDirectory).absolutePath());
    const QString real = info.canonicalFilePath();
    QStringList directories{written};
    if (!real.isEmpty() && real != written)
        directories << real;

    QStringList mountPaths;
    for (const QString &dir : directories)
        mountPaths << QDir::cleanPath(dir + u'/' + name);
    // A link already standing where the volume goes would carry the mount elsewhere.
    const QString realMountPath = QFileInfo(mountPaths.first()).canonicalFilePath();
    if (!realMountPath.isEmpty() && !mountPaths.contains(realMountPath))
        mountPaths << realMountPath;
    for (const QString &mountPath : mountPaths) {
        if (isSystemDirectory(mountPath))
            return QM_ReturnNoWithMessage(localized("The mount directory can not be a system directory."), message);
    }
    for (const QString &dir : directories) {
        if (dir == QLatin1String("/home"))
            return QM_ReturnNoWithMessage(localized("The mount directory can not be /Users."), message);
    }
    // The default parent of volumes on a Linux desktop.
    const struct passwd *user = ::getpwuid(::getuid());
    const QString volumes = QStringLiteral("/media/") + (user ? QString::fromLocal8Bit(user->pw_name) : QString());
    for (const QString &dir : directories) {
        if (dir == volumes)
            return QM_ReturnNoWithMessage(localized("The mount directory can not be /Volumes."), message);
    }

    const QString home = homePath();
    const QString realHome = QFileInfo(home).canonicalFilePath();
    QStringList homes{home};
    if (!realHome.isEmpty() && realHome != home)
        homes << realHome;
    for (const QString &mountPath : mountPaths) {
        for (const QString &h : homes) {
            if (mountPath.startsWith(h + QStringLiteral("/Library"))
                && !mountPath.startsWith(h + QStringLiteral("/Library/Developer")))
                return QM_ReturnNoWithMessage(localized("The mount directory can not be a library sub directory."),
                                              message);
        }
    }

    if (::access(QFile::encodeName(mountDirectory).constData(), W_OK) != 0)
        return QM_ReturnNoWithMessage(localized("The mount directory is not writable."), message);
    return mountToolAccepts(mountDirectory, name, message);
}

// ---- Texts ---------------------------------------------------------------------------------

QString QMRamDiskManager::displayStringFromAction(qint64 action, qint64 info)
{
    switch (action) {
    case 1:
        switch (info) {
        case 1: return localized("QMRamDiskActionInfo_creatingCalculatingBaseDirSize");
        case 3: return localized("QMRamDiskActionInfo_creatingNewFileSystem");
        case 4: return localized("QMRamDiskActionInfo_creatingMoutingVolume");
        case 5: return localized("QMRamDiskActionInfo_creatingRecopingFromBase");
        case 6: return localized("QMRamDiskActionInfo_creatingRestoring");
        case 7: return localized("QMRamDiskActionInfo_creatingExecutingPostCommand");
        case 8: return localized("QMRamDiskActionInfo_creatingMdIndexMode");
        default: return localized("QMRamDiskActionInfo_creating");
        }
    case 2: return localized("QMRamDiskActionInfo_copyingToBase");
    case 3: return localized("QMRamDiskActionInfo_backuping");
    case 4: return localized("QMRamDiskActionInfo_remounting");
    case 5: return localized("QMRamDiskActionInfo_ejecting");
    case 6: return localized("QMRamDiskActionInfo_cleanUpFiles");
    case 7: return localized("QMRamDiskActionInfo_rebuild");
    case 8: return localized("QMRamDiskActionInfo_resizing");
    default: return {};
    }
}

// ---- Icons ---------------------------------------------------------------------------------

QImage QMRamDiskManager::ramDiskIcon(int size)
{
    static const QImage icon16 = QMRamDiskFunctions::bundledImage(QStringLiteral("RamDisk_10.10_16"));
    static const QImage icon128 = QMRamDiskFunctions::bundledImage(QStringLiteral("RamDisk_10.10_128"));
    if (size == 16)
        return icon16;
    if (size == 128)
        return icon128;
    return {};
}

QImage QMRamDiskManager::specificIconFromType(qint64 type, int size)
{
    Q_UNUSED(size);
    // The served applications' icons, at 128; asked from the icon theme on the GUI thread
    // and kept once found.
    static QMutex mutex;
    static QHash<qint64, QImage> icons;
    if (type < 2 || type > 9)
        return {};
    {
        QMutexLocker lock(&mutex);
        const auto it = icons.constFind(type);
        if (it != icons.constEnd())
            return *it;
    }
    QString identifier;
    QMBrowserInstallations::Browser browser = QMBrowserInstallations::Firefox;
    switch (type) {
    case 7: identifier = QStringLiteral("org.mozilla.firefox"); break;
    case 8: identifier = QStringLiteral("com.google.Chrome"); browser = QMBrowserInstallations::Chrome; break;
    case 9: identifier = QStringLiteral("org.chromium.Chromium"); browser = QMBrowserInstallations::Chromium; break;
    default: return {}; // the other platform's applications have no icon here
    }
    if (QMBrowserInstallations::installations(browser).isEmpty())
        return {};
    const QImage image = QMRamDiskFunctions::themeImage(appIconName(identifier), 128);
    if (!image.isNull()) {
        QMutexLocker lock(&mutex);
        icons.insert(type, image);
    }
    return image;
}

QImage QMRamDiskManager::imageOfType(qint64 type, int size)
{
    if (size <= 0)
        return {};
    QImage image = specificIconFromType(type, 128);
    if (image.isNull())
        image = ramDiskIcon(size <= 16 ? 16 : 128);
    if (!image.isNull() && (image.width() != size || image.height() != size))
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
