#include "QMRamDisk.h"

#include "QMDirectoryStatistics.h"
#include "QMFinderTools.h"
#include "QMFunctions.h"
#include "QMKernelFeatures.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntry.h"
#include "QMRamDiskManager.h"
#include "QMSimDeviceList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPainter>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/statvfs.h>

namespace {

const char *const kTable = "QMRamDiskLocalizable";

QString localized(const char *key)
{
    return QCoreApplication::translate(kTable, key);
}

// Archived numbers come back as whatever integer type the property list held.
qint64 readInt(const QVariantMap &coder, const QString &key)
{
    const QVariant v = coder.value(key);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    return ok ? n : 0;
}

quint64 readUInt(const QVariantMap &coder, const QString &key)
{
    const QVariant v = coder.value(key);
    bool ok = false;
    const quint64 n = v.toULongLong(&ok);
    return ok ? n : 0;
}

bool readBool(const QVariantMap &coder, const QString &key)
{
    return coder.value(key).toBool();
}

QString readString(const QVariantMap &coder, const QString &key)
{
    const QVariant v = coder.value(key);
    if (v.typeId() != QMetaType::QString && v.typeId() != QMetaType::QByteArray)
        return {};
    return v.toString();
}

std::optional<QStringList> readStringList(const QVariantMap &coder, const QString &key)
{
    const QVariant v = coder.value(key);
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList();
    if (v.typeId() == QMetaType::QVariantList) {
        QStringList list;
        for (const QVariant &item : v.toList()) {
            if (item.typeId() != QMetaType::QString)
                return std::nullopt;
            list << item.toString();
        }
        return list;
    }
    return std::nullopt;
}

int iconSlotOfSize(int size)
{
    switch (size) {
    case 32:
        return 0;
    case 48:
        return 1;
    case 128:
        return 2;
    default:
        return -1;
    }
}

} // namespace

// ---- Life ----

QMRamDisk::Ptr QMRamDisk::create()
{
    return Ptr(new QMRamDisk());
}

QMRamDisk::QMRamDisk(Bare) {}

QMRamDisk::QMRamDisk()
{
    _identifier = QMFunctions::UUIDString();
    if (_identifier.isEmpty())
        QM_CriticalException("QMRamDisk", "identifier==nil");
    _name = QStringLiteral("RamDisk");
    _size = defaultCapSize();
}

QMRamDisk::~QMRamDisk() = default;

QString QMRamDisk::className() const
{
    return QStringLiteral("QMRamDisk");
}

quint64 QMRamDisk::defaultCapSize()
{
    return QMMacInfo::physicalMemory() > 2147483648ULL ? 1000000000ULL : 512000000ULL;
}

QString QMRamDisk::backupPathExtension()
{
    return QStringLiteral("QuilmoBackup");
}

QString QMRamDisk::previousBackupExtension()
{
    return QStringLiteral("previous");
}

QString QMRamDisk::baseBackupSuffix()
{
    return QStringLiteral(" (Quilmo Backup Base)");
}

QString QMRamDisk::description() const
{
    QString identifier, name;
    {
        std::lock_guard lock(_mutex);
        identifier = _identifier;
        name = _name;
    }
    // The name is quoted, as a field of its own: problem reports take quoted fields out.
    return QStringLiteral("<%1: %2> %3 %4")
        .arg(className(), QStringLiteral("0x%1").arg(quintptr(this), 0, 16),
             identifier.isNull() ? QStringLiteral("(null)") : identifier,
             name.isNull() ? QStringLiteral("(null)")
                           : QLatin1Char('"') + QString(name).replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                                                     .replace(QLatin1Char('"'), QLatin1String("\\\""))
                                 + QLatin1Char('"'));
}

// ---- Archive ----

QString QMRamDisk::stringByAbbreviatingWithTildeInPath(const QString &path)
{
    const QString home = QDir::cleanPath(QDir::homePath());
    if (path.isEmpty() || home.isEmpty() || home == QLatin1String("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

QString QMRamDisk::stringByExpandingTildeInPath(const QString &path)
{
    if (path == QLatin1String("~"))
        return QDir::cleanPath(QDir::homePath());
    if (path.startsWith(QLatin1String("~/")))
        return QDir::cleanPath(QDir::homePath()) + path.mid(1);
    return path;
}

void QMRamDisk::encodeWithCoder(QVariantMap *coder) const
{
    if (!coder)
        return;
    std::lock_guard lock(_mutex);
    auto putString = [coder](const char *key, const QString &value) {
        if (!value.isNull())
            coder->insert(QString::fromLatin1(key), value);
    };
    coder->insert(QStringLiteral("type"), qlonglong(_type));
    putString("identifier", _identifier);
    coder->insert(QStringLiteral("preferWired"), _preferWired);
    coder->insert(QStringLiteral("createAtLogin"), _createAtLogin);
    coder->insert(QStringLiteral("doNotCalculateBaseSize"), _doNotCalculateBaseSize);
    coder->insert(QStringLiteral("format"), qlonglong(_format));
    putString("name", _name);
    coder->insert(QStringLiteral("size"), qulonglong(_size));
    putString("mountDirectory", stringByAbbreviatingWithTildeInPath(_mountDirectory));
    putString("simId", _simId);
    putString("postCmd", _postCmd);
    if (_postCmdArgs)
        coder->insert(QStringLiteral("postCmdArgs"), *_postCmdArgs);
    coder->insert(QStringLiteral("mdIndexMode"), qlonglong(_mdIndexMode));
    coder->insert(QStringLiteral("backupMode"), qlonglong(_backupMode));
    putString("backupDir", _backupDir);
    coder->insert(QStringLiteral("status"), qlonglong(_status));
    putString("deviceNode", _deviceNode);
    putString("path", _path);
    if (_lastSaveDate > 0)
        coder->insert(QStringLiteral("lastSaveDate"), _lastSaveDate);
    if (_contentsIncomplete)
        coder->insert(QStringLiteral("contentsIncomplete"), true);
    if (_autoSaveInterval > 0)
        coder->insert(QStringLiteral("autoSaveInterval"), qlonglong(_autoSaveInterval));
    if (_saveTimeFactor > 0)
        coder->insert(QStringLiteral("saveTimeFactor"), _saveTimeFactor);
}

QMRamDisk::Ptr QMRamDisk::initWithCoder(const QVariantMap &coder, const QString &className)
{
    Ptr ramDisk;
    if (className.isNull() || className == QLatin1String("QMRamDisk"))
        ramDisk = Ptr(new QMRamDisk(Bare{}));
    else if (className == QLatin1String("QMRamDiskEntry"))
        ramDisk = Ptr(new QMRamDiskEntry(Bare{}));
    else
        return nullptr;

    QMRamDisk &r = *ramDisk;
    // Not yet shared with anyone: no lock needed.
    r._type = readInt(coder, QStringLiteral("type"));
    r._identifier = readString(coder, QStringLiteral("identifier"));
    r._preferWired = readBool(coder, QStringLiteral("preferWired"));
    r._createAtLogin = readBool(coder, QStringLiteral("createAtLogin"));
    r._doNotCalculateBaseSize = readBool(coder, QStringLiteral("doNotCalculateBaseSize"));
    r._format = readInt(coder, QStringLiteral("format"));
    r._name = readString(coder, QStringLiteral("name"));
    r._size = readUInt(coder, QStringLiteral("size"));
    r._mountDirectory = stringByExpandingTildeInPath(readString(coder, QStringLiteral("mountDirectory")));
    r._simId = readString(coder, QStringLiteral("simId"));
    r._postCmd = readString(coder, QStringLiteral("postCmd"));
    r._postCmdArgs = readStringList(coder, QStringLiteral("postCmdArgs"));
    r._mdIndexMode = readInt(coder, QStringLiteral("mdIndexMode"));
    r._backupMode = readInt(coder, QStringLiteral("backupMode"));
    r._backupDir = readString(coder, QStringLiteral("backupDir"));
    r._status = readInt(coder, QStringLiteral("status"));
    r._deviceNode = readString(coder, QStringLiteral("deviceNode"));
    r._path = readString(coder, QStringLiteral("path"));
    r._uuid = readString(coder, QStringLiteral("uuid"));
    r._lastSaveDate = std::max(0.0, coder.value(QStringLiteral("lastSaveDate")).toDouble());
    r._contentsIncomplete = readBool(coder, QStringLiteral("contentsIncomplete"));
    r._autoSaveInterval = std::max<qint64>(0, readInt(coder, QStringLiteral("autoSaveInterval")));
    r._saveTimeFactor = std::max(0.0, coder.value(QStringLiteral("saveTimeFactor")).toDouble());
    if (coder.contains(QStringLiteral("devUUID"))) {
        bool ok = false;
        const qint64 devUUID = coder.value(QStringLiteral("devUUID")).toLongLong(&ok);
        if (ok)
            r._devUUID = devUUID;
    }
    return ramDisk;
}

// ---- Identity ----

size_t QMRamDisk::hash() const
{
    return qHash(identifier());
}

bool QMRamDisk::isEqual(const QMRamDisk *other) const
{
    if (other == this)
        return true;
    if (!other)
        return false;
    const QString mine = identifier();
    const QString theirs = other->identifier();
    return !mine.isEmpty() && !theirs.isEmpty() && mine == theirs;
}

void QMRamDisk::assignValuesOf(const QMRamDisk &other)
{
    if (&other == this)
        return;
    std::scoped_lock lock(_mutex, other._mutex);
    if (other._type != _type || other._simId != _simId)
        _simDeviceName.reset();
    _type = other._type;
    _preferWired = other._preferWired;
    _createAtLogin = other._createAtLogin;
    _doNotCalculateBaseSize = other._doNotCalculateBaseSize;
    _format = other._format;
    _name = other._name;
    _size = other._size;
    _mountDirectory = other._mountDirectory;
    _simId = other._simId;
    _postCmd = other._postCmd;
    _postCmdArgs = other._postCmdArgs;
    _mdIndexMode = other._mdIndexMode;
    _backupMode = other._backupMode;
    _backupDir = other._backupDir;
    _status = other._status;
    _deviceNode = other._deviceNode;
    _path = other._path;
    _uuid = other._uuid;
    _devUUID = other._devUUID;
    _lastSaveDate = other._lastSaveDate;
    _contentsIncomplete = other._contentsIncomplete;
    _autoSaveInterval = other._autoSaveInterval;
    _saveTimeFactor = other._saveTimeFactor;
    for (QImage &icon : _composedIcons)
        icon = QImage();
}

// ---- Display values ----

QString QMRamDisk::displayName()
{
    const qint64 type = this->type();
    switch (type) {
    case QMRamDiskType_Safari:
        return localized("QMRamDiskType_Safari");
    case QMRamDiskType_XcodeBuild:
        return localized("QMRamDiskType_XcodeBuild");
    case QMRamDiskType_IOsSimulator:
        return localized("QMRamDiskType_IOsSimulator");
    case QMRamDiskType_AppCodeCaches:
        return localized("QMRamDiskType_AppCodeCaches");
    case QMRamDiskType_Firefox:
        return localized("QMRamDiskType_Firefox");
    case QMRamDiskType_Chrome:
        return localized("QMRamDiskType_Chrome");
    case QMRamDiskType_Chromium:
        return localized("QMRamDiskType_Chromium");
    case QMRamDiskType_CoreSimulator: {
        const QString simId = this->simId();
        if (simId.isEmpty())
            return localized("QMRamDiskType_CoreSimulator");
        {
            std::lock_guard lock(_mutex);
            if (_simDeviceName)
                return *_simDeviceName;
        }
        // Looked up once; the catalogue reads the disk, so not under the lock.
        QString displayName = simId;
        if (const auto device = QMSimDeviceList::sharedInstance()->simDeviceWithDirId(simId))
            displayName = device->displayName();
        std::lock_guard lock(_mutex);
        _simDeviceName = displayName;
        return displayName;
    }
    default:
        return name();
    }
}

QString QMRamDisk::displayStatus() const
{
    switch (status()) {
    case QMRamDiskStatus_created:
        return localized("QMRamDiskStatus_created");
    case QMRamDiskStatus_mounted:
        return localized("QMRamDiskStatus_mounted");
    default:
        return localized("QMRamDiskStatus_notCreated");
    }
}

QImage QMRamDisk::displayIcon(int size)
{
    const int slot = iconSlotOfSize(size);
    if (slot == -1) {
        QM_CriticalException(this, "sizeIdx==-1");
        return {};
    }

    qint64 status, action, type;
    QString path;
    double storedDate;
    {
        std::lock_guard lock(_mutex);
        status = _status;
        action = _action;
        type = _type;
        path = _path;
        storedDate = _volumeIconDate;
    }

    // Never read a volume that an action is building or tearing down.
    if (status == QMRamDiskStatus_mounted && !path.isEmpty() && action == QMRamDiskAction_none) {
        const QString volIconPath = path + QStringLiteral("/.VolumeIcon.icns");
        if (QFileInfo::exists(volIconPath)) {
            double date = 0;
            if (!QMFunctions::getModDate1970(&date, volIconPath))
                QM_LogErrorMethod(this, QStringLiteral("getModDate1970==NO volIconPath:%1").arg(volIconPath));
            if (date == 0 || storedDate == 0 || date != storedDate) {
                // The icon the file manager shows for the volume: its own icon file.
                const QImage icon(volIconPath);
                std::lock_guard lock(_mutex);
                _volumeIcon = icon;
                _volumeIconDate = date;
            }
        } else if (QFileInfo::exists(path)) {
            // A volume without an icon of its own shows as a RAM disk.
            std::lock_guard lock(_mutex);
            _volumeIcon = QImage();
            _volumeIconDate = 0;
        }
    }

    QImage base;
    {
        std::lock_guard lock(_mutex);
        base = _volumeIcon;
    }
    if (base.isNull())
        base = QMRamDiskManager::ramDiskIcon(128);

    const QImage badge = QMRamDiskManager::specificIconFromType(type, 128);
    // Composed once per size for as long as its ingredients stay the same.
    const qint64 sourceKey = base.cacheKey() ^ (badge.cacheKey() << 1);
    {
        std::lock_guard lock(_mutex);
        const QImage &cached = _composedIcons[size_t(slot)];
        if (!cached.isNull() && _composedIconKeys[size_t(slot)] == sourceKey)
            return cached;
    }
    QImage result;
    if (!badge.isNull()) {
        result = QImage(size, size, QImage::Format_ARGB32_Premultiplied);
        result.fill(Qt::transparent);
        QPainter painter(&result);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setOpacity(1.0);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (!base.isNull())
            painter.drawImage(QRect(0, 0, size, size), base);
        const int badgeSize = slot == 0 ? 16 : (slot == 1 ? 24 : 32);
        painter.drawImage(QRect(size - badgeSize, size - badgeSize, badgeSize, badgeSize), badge);
        painter.end();
    } else if (!base.isNull()) {
        result = base.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }

    std::lock_guard lock(_mutex);
    _composedIcons[size_t(slot)] = result;
    _composedIconKeys[size_t(slot)] = sourceKey;
    return result;
}

void QMRamDisk::clearComposedIcons()
{
    std::lock_guard lock(_mutex);
    for (QImage &icon : _composedIcons)
        icon = QImage();
}

bool QMRamDisk::isCaseSensitive() const
{
    if (status() == QMRamDiskStatus_mounted && !path().isEmpty()) {
        if (const std::optional<bool> sensitive = QMRamDiskDevice::isCaseSensitiveVolumeAtPath(path()))
            return *sensitive;
    }
    return format() == QMRamDiskFormat_caseSensitiveHFSPlus || !QMKernelFeatures::caseInsensitiveNames();
}

double QMRamDisk::diskUsage() const
{
    quint64 size, free;
    {
        std::lock_guard lock(_mutex);
        size = _volSize;
        free = _volFree;
    }
    if (size == 0)
        return 0.0;
    return (double(size) - double(free)) / double(size);
}

int QMRamDisk::hasContents() const
{
    qint64 action, status;
    QString path;
    {
        std::lock_guard lock(_mutex);
        action = _action;
        status = _status;
        path = _path;
    }
    if (action != QMRamDiskAction_none || status != QMRamDiskStatus_mounted || path.isEmpty())
        return -1;

    QStringList names;
    QString error;
    if (!QMRamDiskBackup::contentsOfDirectoryAtPath(path, &names, &error)) {
        QM_LogErrorMethod(this, QStringLiteral("contents==nil path:%1 error:%2").arg(path, error));
        return -1;
    }
    for (const QString &name : names) {
        if (!QMFinderTools::isSystemFileNameInFolder(name, 0) && !QMFinderTools::isVolumeHiddenFilename(name))
            return 1;
    }
    return 0;
}

QString QMRamDisk::backupDirPath() const
{
    qint64 mode;
    QString identifier, backupDir;
    {
        std::lock_guard lock(_mutex);
        mode = _backupMode;
        identifier = _identifier;
        backupDir = _backupDir;
    }
    const QString dirName = identifier + QLatin1Char('.') + backupPathExtension();
    if (mode == QMRamDiskBackupMode_defaultLocation) {
        const QString support = QMRamDiskManager::appSupportPath();
        if (support.isEmpty())
            return {};
        return support + QLatin1Char('/') + dirName;
    }
    if (mode == QMRamDiskBackupMode_chosenDirectory) {
        if (backupDir.isEmpty())
            return {};
        return QDir::cleanPath(stringByExpandingTildeInPath(backupDir)) + QLatin1Char('/') + dirName;
    }
    return {};
}

QString QMRamDisk::basePath() const
{
    QString mountDirectory, name;
    {
        std::lock_guard lock(_mutex);
        mountDirectory = _mountDirectory;
        name = _name;
    }
    if (mountDirectory.isEmpty())
        return {};
    return QDir::cleanPath(mountDirectory + QLatin1Char('/') + name);
}

QString QMRamDisk::baseBackupPath() const
{
    const QString base = basePath();
    if (base.isEmpty())
        return {};
    return base + baseBackupSuffix();
}

bool QMRamDisk::isBaseSynchronized() const
{
    std::lock_guard lock(_mutex);
    return _type == QMRamDiskType_CoreSimulator
           || (!_mountDirectory.isEmpty() && _backupMode == QMRamDiskBackupMode_baseSynchronized);
}

QMRamDisk::BackupDirs QMRamDisk::backupDirsInAppSupport() const
{
    BackupDirs dirs;
    const QString support = QMRamDiskManager::appSupportPath();
    if (support.isEmpty())
        return dirs;
    const QString bckPath = support + QLatin1Char('/') + identifier() + QLatin1Char('.') + backupPathExtension();
    // A copy that was being written when the program stopped, and the older copy kept for
    // the next save, belong to it too.
    for (const QString &path : {bckPath, bckPath + QLatin1Char('.') + previousBackupExtension(),
                                bckPath + QLatin1Char('.') + QMRamDiskBackup::partialExtension(),
                                bckPath + QLatin1Char('.') + QMRamDiskBackup::olderCopyExtension()}) {
        if (!QMRamDiskBackup::fileExistsAtPath(path))
            continue;
        dirs.paths << path;
        QMDirectoryStatistics statistics;
        if (QMGetDirectoryStatistics(&statistics, 0, path)) {
            dirs.files += statistics.fileCount;
            dirs.bytes += statistics.totalSize;
        } else {
            dirs.files += 1; // unreadable: it may hold anything
        }
    }
    return dirs;
}

void QMRamDisk::deleteBackupDirs() const
{
    QString error;
    for (const QString &path : backupDirsInAppSupport().paths)
        if (!QMRamDiskBackup::removeItemAtPath(path, &error))
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO bckPath:%1 error:%2").arg(path, error));
}

namespace {

// Moves an item to the desktop's trash; where it went in *trashed.
bool moveItemToTrash(const QString &path, QString *trashed, QString *error)
{
    QFile item(path);
    if (!item.moveToTrash()) {
        *error = item.errorString();
        return false;
    }
    // Where no trash can be used, Qt moves the item to "files" of the working directory and
    // calls that a success: such a move is taken back and reported.
    const QFileInfo where(item.fileName());
    const QString info = where.absolutePath() + QStringLiteral("/../info/") + where.fileName()
                         + QStringLiteral(".trashinfo");
    if (where.isRelative() || where.absoluteDir().dirName() != QLatin1String("files") || !QFileInfo::exists(info)
        || !where.absoluteDir().absolutePath().contains(QLatin1String("Trash"))) {
        if (::rename(QFile::encodeName(where.filePath()).constData(), QFile::encodeName(path).constData()) == 0)
            QFile::remove(info);
        *error = QStringLiteral("no trash can be used for %1").arg(path);
        return false;
    }
    *trashed = where.absoluteFilePath();
    return true;
}

} // namespace

bool QMRamDisk::trashBackupDirs(QStringList *trashed, QString *error) const
{
    for (const QString &path : backupDirsInAppSupport().paths) {
        QString where, why;
        if (!moveItemToTrash(path, &where, &why)) {
            QM_LogErrorMethod(this, QStringLiteral("moveToTrash==NO bckPath:%1 error:%2").arg(path, why));
            if (error)
                *error = why;
            return false;
        }
        if (trashed)
            *trashed << where;
    }
    return true;
}

QVariantMap QMRamDisk::comparableValues() const
{
    std::lock_guard lock(_mutex);
    return {{QStringLiteral("name"), _name},
            {QStringLiteral("size"), qulonglong(_volSize)},
            {QStringLiteral("sizeFree"), qulonglong(_volFree)}};
}

void QMRamDisk::changeToType(qint64 type, qint64 options)
{
    QString simId;
    {
        std::lock_guard lock(_mutex);
        _simDeviceName.reset();
        simId = _simId;
    }
    const QVariantMap infos = QMRamDiskManager::creationInfosOfRamDiskType(type, simId).value_or(QVariantMap());
    const bool keep = (options & ChangeTypeOptionKeepSizeAndBackup) != 0;
    {
        std::lock_guard lock(_mutex);
        if (type != QMRamDiskType_default && infos.value(QStringLiteral("status")).toLongLong() == 1) {
            _type = type;
            _name = infos.value(QStringLiteral("name")).toString();
            _mountDirectory = infos.value(QStringLiteral("mountDirectory")).toString();
            _preferWired = false;
            if (!keep) {
                _size = infos.value(QStringLiteral("size")).toULongLong();
                // Disabled, unless the preset keeps its directory in step.
                _backupMode = infos.value(QStringLiteral("backupMode"), qint64(QMRamDiskBackupMode_disabled)).toLongLong();
                _backupDir = QString();
            }
        } else if (!keep) {
            _type = QMRamDiskType_default;
            _name = QStringLiteral("RamDisk");
            _size = defaultCapSize();
            _mountDirectory = QString();
            _preferWired = false;
            _backupMode = QMRamDiskBackupMode_disabled;
            _backupDir = QString();
        }
    }
    clearComposedIcons();
}

void QMRamDisk::inform(QMRamDiskActionDelegateProtocol *delegate, qint64 actionInfo, const QMError::Ptr &error)
{
    QMRamDiskReport report;
    {
        std::lock_guard lock(_mutex);
        _lastActionInfo = actionInfo;
        _lastError = error;
        report = reportLocked();
        // The other programs show the step too.
        if (_actionLock && _action != QMRamDiskAction_none)
            _actionLock->setStep(_action, actionInfo);
    }
    if (delegate)
        delegate->ramDiskDidReport(shared_from_this(), report);
}

QMRamDiskReport QMRamDisk::report() const
{
    std::lock_guard lock(_mutex);
    return reportLocked();
}

QMRamDiskReport QMRamDisk::reportLocked() const
{
    QMRamDiskReport report;
    report.identifier = _identifier;
    report.action = _action;
    report.actionInfo = _lastActionInfo;
    report.error = _lastError;
    report.warning = _lastWarning;
    report.status = _status;
    report.path = _path;
    return report;
}

// ---- Fields ----

#define QM_RAMDISK_GETTER(Type, getter, field)                                                        \
    Type QMRamDisk::getter() const                                                                   \
    {                                                                                                 \
        std::lock_guard lock(_mutex);                                                                 \
        return field;                                                                                 \
    }
#define QM_RAMDISK_ACCESSORS(Type, getter, setter, field)                                             \
    QM_RAMDISK_GETTER(Type, getter, field)                                                            \
    void QMRamDisk::setter(const Type &value)                                                         \
    {                                                                                                 \
        std::lock_guard lock(_mutex);                                                                 \
        field = value;                                                                                \
    }

QM_RAMDISK_GETTER(qint64, type, _type)
QM_RAMDISK_GETTER(QString, identifier, _identifier)
QM_RAMDISK_GETTER(bool, preferWired, _preferWired)
QM_RAMDISK_GETTER(bool, createAtLogin, _createAtLogin)
QM_RAMDISK_GETTER(bool, doNotCalculateBaseSize, _doNotCalculateBaseSize)
QM_RAMDISK_GETTER(qint64, format, _format)
QM_RAMDISK_GETTER(quint64, size, _size)
QM_RAMDISK_GETTER(qint64, mdIndexMode, _mdIndexMode)
QM_RAMDISK_GETTER(qint64, backupMode, _backupMode)
QM_RAMDISK_GETTER(qint64, status, _status)
QM_RAMDISK_GETTER(quint64, volSize, _volSize)
QM_RAMDISK_GETTER(quint64, volFree, _volFree)
QM_RAMDISK_GETTER(qint64, action, _action)
QM_RAMDISK_GETTER(quint64, resizeTarget, _resizeTarget)
QM_RAMDISK_GETTER(qint64, lastActionInfo, _lastActionInfo)

QM_RAMDISK_ACCESSORS(QString, name, setName, _name)
QM_RAMDISK_ACCESSORS(QString, mountDirectory, setMountDirectory, _mountDirectory)
QM_RAMDISK_GETTER(QString, simId, _simId)
QM_RAMDISK_ACCESSORS(QString, postCmd, setPostCmd, _postCmd)
QM_RAMDISK_ACCESSORS(std::optional<QStringList>, postCmdArgs, setPostCmdArgs, _postCmdArgs)
QM_RAMDISK_ACCESSORS(QString, backupDir, setBackupDir, _backupDir)
QM_RAMDISK_ACCESSORS(QString, deviceNode, setDeviceNode, _deviceNode)
QM_RAMDISK_ACCESSORS(QString, path, setPath, _path)
QM_RAMDISK_ACCESSORS(QString, uuid, setUuid, _uuid)
QM_RAMDISK_ACCESSORS(std::optional<qint64>, devUUID, setDevUUID, _devUUID)
QM_RAMDISK_ACCESSORS(QMError::Ptr, lastError, setLastError, _lastError)
QM_RAMDISK_ACCESSORS(QString, lastWarning, setLastWarning, _lastWarning)
QM_RAMDISK_GETTER(bool, replacesIncompleteCopy, _replacesIncompleteCopy)
QM_RAMDISK_GETTER(double, lastSaveDate, _lastSaveDate)
QM_RAMDISK_GETTER(bool, contentsIncomplete, _contentsIncomplete)

void QMRamDisk::setLastSaveDate(double lastSaveDate)
{
    std::lock_guard lock(_mutex);
    _lastSaveDate = lastSaveDate;
}

void QMRamDisk::setContentsIncomplete(bool contentsIncomplete)
{
    std::lock_guard lock(_mutex);
    _contentsIncomplete = contentsIncomplete;
}

void QMRamDisk::setReplacesIncompleteCopy(bool replaces)
{
    std::lock_guard lock(_mutex);
    _replacesIncompleteCopy = replaces;
}

QM_RAMDISK_GETTER(qint64, autoSaveInterval, _autoSaveInterval)

void QMRamDisk::setAutoSaveInterval(qint64 seconds)
{
    std::lock_guard lock(_mutex);
    _autoSaveInterval = std::max<qint64>(0, seconds);
}

QM_RAMDISK_GETTER(double, saveTimeFactor, _saveTimeFactor)

void QMRamDisk::setSaveTimeFactor(double factor)
{
    std::lock_guard lock(_mutex);
    _saveTimeFactor = std::max(0.0, factor);
}

void QMRamDisk::setSimId(const QString &simId)
{
    std::lock_guard lock(_mutex);
    if (simId != _simId)
        _simDeviceName.reset(); // resolved again for the new device
    _simId = simId;
}

#define QM_RAMDISK_VALUE_SETTER(Type, setter, field)                                                  \
    void QMRamDisk::setter(Type value)                                                                \
    {                                                                                                 \
        std::lock_guard lock(_mutex);                                                                 \
        field = value;                                                                                \
    }

QM_RAMDISK_VALUE_SETTER(bool, setPreferWired, _preferWired)
QM_RAMDISK_VALUE_SETTER(bool, setCreateAtLogin, _createAtLogin)
QM_RAMDISK_VALUE_SETTER(bool, setDoNotCalculateBaseSize, _doNotCalculateBaseSize)
QM_RAMDISK_VALUE_SETTER(qint64, setFormat, _format)
QM_RAMDISK_VALUE_SETTER(quint64, setSize, _size)
QM_RAMDISK_VALUE_SETTER(qint64, setMdIndexMode, _mdIndexMode)
QM_RAMDISK_VALUE_SETTER(qint64, setBackupMode, _backupMode)
QM_RAMDISK_VALUE_SETTER(qint64, setStatus, _status)
QM_RAMDISK_VALUE_SETTER(quint64, setVolSize, _volSize)
QM_RAMDISK_VALUE_SETTER(quint64, setVolFree, _volFree)
QM_RAMDISK_VALUE_SETTER(qint64, setAction, _action)
QM_RAMDISK_VALUE_SETTER(quint64, setResizeTarget, _resizeTarget)
QM_RAMDISK_VALUE_SETTER(qint64, setLastActionInfo, _lastActionInfo)

bool QMRamDisk::readVolumeSizes(const QString &path, quint64 *size, quint64 *free, QString *error)
{
    struct statvfs sv;
    if (statvfs(QFile::encodeName(path).constData(), &sv) != 0) {
        *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    *size = quint64(sv.f_blocks) * sv.f_frsize;
    *free = quint64(sv.f_bavail) * sv.f_frsize;
    return true;
}
