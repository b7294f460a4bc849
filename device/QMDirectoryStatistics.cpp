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

qint32 GetDirectoryStatistics(const char *dirPath, QMDirectoryStatistics *statistics)
{
    const size_t dirPathL = dirPath ? std::strlen(dirPath) : 0;
    if (dirPathL == 0) {
        QM_LogErrorFunction(QStringLiteral("dirPathL==0 dirPath:%1").arg(QString::fromLocal8Bit(dirPath)));
        return QMScanNoPath;
    }
    DIR *dir = opendir(dirPath);
    if (!dir) {
        const int e = errno;
        QM_LogErrorFunction(QStringLiteral("dir==NULL dirPath:%1 errno:%2 (%3)")
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

    QMDirectoryStatistics local; // summed here, added to the caller's record at the end
    while (const dirent *entry = readdir(dir)) {
        if (isDotOrEmpty(entry->d_name))
            continue;
        const size_t nameL = std::strlen(entry->d_name);
        const size_t entryPathL = dirPathL + separatorL + nameL;
        if (entryPathL >= kPathBufferSize - 1) {
            QM_LogErrorFunction(QStringLiteral("entryPathL>=MAXPATHLEN entryPathL:%1").arg(entryPathL));
            result = QMScanPathTooLong;
            break;
        }
        std::memcpy(entryPath, dirPath, dirPathL);
        if (separatorL)
            entryPath[dirPathL] = '/';
        std::memcpy(entryPath + dirPathL + separatorL, entry->d_name, nameL + 1);

        switch (entryType(dir, entry)) {
        case DT_DIR: {
            ++local.directoryCount;
            const qint32 code = GetDirectoryStatistics(entryPath, &local);
            if (code != QMScanDone)
                QM_LogErrorFunction(QStringLiteral("GetDirectoryStatistics:%1 entryPath:%2")
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
                QM_LogErrorFunction(QStringLiteral("stat==-1 entryPath:%1 errno:%2 (%3)")
                                        .arg(QString::fromLocal8Bit(entryPath))
                                        .arg(e)
                                        .arg(errnoText(e)));
            }
            break;
        }
        default:
            break;
        }
    }
    std::free(entryPath);
    if (closedir(dir) != 0) {
        QM_LogErrorFunction(
            QStringLiteral("closeDir!=0 dirPath:%1 errno:%2").arg(QString::fromLocal8Bit(dirPath)).arg(errno));
    }
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
    const size_t dirPathL = dirPath ? std::strlen(dirPath) : 0;
    if (dirPathL == 0) {
        QM_LogErrorFunction(QStringLiteral("dirPathL==0 dirPath:%1").arg(QString::fromLocal8Bit(dirPath)));
        return QMScanNoPath;
    }
    DIR *dir = opendir(dirPath);
    if (!dir) {
        const int e = errno;
        QM_LogErrorFunction(QStringLiteral("dir==NULL dirPath:%1 errno:%2 (%3)")
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
            QM_LogErrorFunction(QStringLiteral("entryPathL>=MAXPATHLEN entryPathL:%1").arg(entryPathL));
            result = QMScanPathTooLong;
            break;
        }
        std::memcpy(entryPath, dirPath, dirPathL);
        if (separatorL)
            entryPath[dirPathL] = '/';
        std::memcpy(entryPath + dirPathL + separatorL, entry->d_name, nameL + 1);

        const unsigned char type = entryType(dir, entry);
        if (type == DT_REG) {
            result = QMScanFoundFile;
            break;
        }
        if (type == DT_DIR) {
            const qint32 code = DirectoryContainsAtLeastFile(entryPath);
            if (code == QMScanFoundFile) {
                result = QMScanFoundFile;
                break;
            }
            if (code != QMScanDone)
                QM_LogErrorFunction(QStringLiteral("DirectoryContainsAtLeastFile:%1 path:%2")
                                        .arg(code)
                                        .arg(QString::fromLocal8Bit(entryPath)));
        }
    }
    std::free(entryPath);
    if (closedir(dir) != 0) {
        QM_LogErrorFunction(
            QStringLiteral("closeDir!=0 dirPath:%1 errno:%2").arg(QString::fromLocal8Bit(dirPath)).arg(errno));
    }
    return result;
}

bool QMGetDirectoryStatistics(QMDirectoryStatistics *statistics, quint32 flags, const QString &path)
{
    Q_UNUSED(flags);
    if (path.isEmpty() || path == QLatin1String("/") || path == QLatin1String("/Volumes")
        || path == QMRamDiskDevice::defaultVolumesDirectory())
        return false;
    return GetDirectoryStatistics(QFile::encodeName(path).constData(), statistics) == QMScanDone;
}
