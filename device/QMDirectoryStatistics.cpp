#include "QMDirectoryStatistics.h"

#include "QMLog.h"
#include "QMRamDiskDevice.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr size_t kPathBufferSize = 1024; // including the terminating zero

QString errnoText(int e)
{
    return QString::fromLocal8Bit(strerror(e));
}

// The entry's type; entries whose type the directory does not report are asked for
// directly, since some file systems never report one and their files would go uncounted.
unsigned char entryType(DIR *dir, const dirent *entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    if (S_ISDIR(st.st_mode))
        return DT_DIR;
    if (S_ISREG(st.st_mode))
        return DT_REG;
    if (S_ISLNK(st.st_mode))
        return DT_LNK;
    return DT_UNKNOWN;
}

bool isDotOrEmpty(const char *name)
{
    return name[0] == 0 || (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)));
}

} // namespace

namespace {

// The plain-function log line, "%s(%d) %@", of the scan that asked.
void logError(const char *function, int line, const QString &text)
{
    QMLog::logWithSeverity(QMLog::Error, qm_detail::functionLine(function, line, text));
}

// Walks the entries of one directory (not "." and ".."), building each entry's path in a
// buffer of the scan's path limit, and hands them to `visit`, which returns QMScanDone to
// go on or the result to stop with. Log lines carry the name of the scan that walks.
template<typename Visit>
qint32 walkDirectory(const char *function, const char *dirPath, Visit visit)
{
    auto log = [function](int line, const QString &text) { logError(function, line, text); };
    const size_t dirPathL = dirPath ? std::strlen(dirPath) : 0;
    if (dirPathL == 0) {
        log(__LINE__, QStringLiteral("dirPathL==0 dirPath:%1").arg(QString::fromLocal8Bit(dirPath)));
        return QMScanNoPath;
    }
    DIR *dir = opendir(dirPath);
    if (!dir) {
        const int e = errno;
        log(__LINE__, QStringLiteral("dir==NULL dirPath:%1 errno:%2 (%3)")
                          .arg(QString::fromLocal8Bit(dirPath))
                          .arg(e)
                          .arg(errnoText(e)));
        return QMScanCannotOpen;
    }
    char *entryPath = static_cast<char *>(std::malloc(kPathBufferSize));
    if (!entryPath) {
        closedir(dir);
        return QMScanNoMemory;
    }
    const size_t separatorL = dirPath[dirPathL - 1] == '/' ? 0 : 1;
    qint32 result = QMScanDone;
    while (const dirent *entry = readdir(dir)) {
        if (isDotOrEmpty(entry->d_name))
            continue;
        const size_t nameL = std::strlen(entry->d_name);
        const size_t entryPathL = dirPathL + separatorL + nameL;
        if (entryPathL >= kPathBufferSize - 1) {
            log(__LINE__, QStringLiteral("entryPathL>=MAXPATHLEN entryPathL:%1").arg(entryPathL));
            result = QMScanPathTooLong;
            break;
        }
        std::memcpy(entryPath, dirPath, dirPathL);
        if (separatorL)
            entryPath[dirPathL] = '/';
        std::memcpy(entryPath + dirPathL + separatorL, entry->d_name, nameL + 1);
        result = visit(dir, entry, static_cast<const char *>(entryPath));
        if (result != QMScanDone)
            break;
    }
    std::free(entryPath);
    if (closedir(dir) != 0)
        log(__LINE__, QStringLiteral("closeDir!=0 dirPath:%1 errno:%2").arg(QString::fromLocal8Bit(dirPath)).arg(errno));
    return result;
}

} // namespace

qint32 GetDirectoryStatistics(const char *dirPath, QMDirectoryStatistics *statistics)
{
    QMDirectoryStatistics local; // summed here, added to the caller's record at the end
    const char *function = __func__;
    const qint32 result = walkDirectory(function, dirPath, [&](DIR *dir, const dirent *entry, const char *entryPath) {
        switch (entryType(dir, entry)) {
        case DT_DIR: {
            ++local.directoryCount;
            const qint32 code = GetDirectoryStatistics(entryPath, &local);
            if (code != QMScanDone)
                logError(function, __LINE__, QStringLiteral("GetDirectoryStatistics:%1 entryPath:%2")
                                                 .arg(code)
                                                 .arg(QString::fromLocal8Bit(entryPath)));
            break;
        }
        case DT_LNK:
            ++local.linkCount;
            break;
        case DT_REG: {
            ++local.fileCount;
            struct stat st {};
            // Relative to the open directory: no second walk down the whole path.
            if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0) {
                local.totalSize += static_cast<quint64>(st.st_size);
            } else {
                const int e = errno;
                logError(function, __LINE__, QStringLiteral("stat==-1 entryPath:%1 errno:%2 (%3)")
                                                 .arg(QString::fromLocal8Bit(entryPath))
                                                 .arg(e)
                                                 .arg(errnoText(e)));
            }
            break;
        }
        default:
            break;
        }
        return qint32(QMScanDone);
    });
    if (statistics) {
        statistics->totalSize += local.totalSize;
        statistics->fileCount += local.fileCount;
        statistics->directoryCount += local.directoryCount;
        statistics->linkCount += local.linkCount;
    }
    return result;
}

qint32 DirectoryContainsAtLeastFile(const char *dirPath)
{
    const char *function = __func__;
    return walkDirectory(function, dirPath, [function](DIR *dir, const dirent *entry, const char *entryPath) {
        const unsigned char type = entryType(dir, entry);
        if (type == DT_REG)
            return qint32(QMScanFoundFile);
        if (type == DT_DIR) {
            const qint32 code = DirectoryContainsAtLeastFile(entryPath);
            if (code == QMScanFoundFile)
                return qint32(QMScanFoundFile);
            if (code != QMScanDone)
                logError(function, __LINE__, QStringLiteral("DirectoryContainsAtLeastFile:%1 path:%2")
                                                 .arg(code)
                                                 .arg(QString::fromLocal8Bit(entryPath)));
        }
        return qint32(QMScanDone);
    });
}

bool QMGetDirectoryStatistics(QMDirectoryStatistics *statistics, quint32 flags, const QString &path)
{
    Q_UNUSED(flags);
    if (path.isEmpty() || path == QLatin1String("/") || path == QLatin1String("/Volumes")
        || path == QMRamDiskDevice::defaultVolumesDirectory())
        return false;
    return GetDirectoryStatistics(QFile::encodeName(path).constData(), statistics) == QMScanDone;
}
