#include "QMRamDiskSaveEstimate.h"

#include "QMNextDirEntry.h"
#include "QMRamDiskBackup.h"
#include "QMVolumeHolders.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The model: seconds per file copied, per byte copied, per file linked, and the flush.
constexpr double kSecondsPerFile = 250e-6;
constexpr double kSecondsPerByte = 1.0 / (200.0 * 1000 * 1000);
constexpr double kSecondsPerLink = 70e-6;
constexpr double kFlushSeconds = 0.3;

bool notBefore(const struct timespec &t, const struct timespec &limit)
{
    return t.tv_sec > limit.tv_sec || (t.tv_sec == limit.tv_sec && t.tv_nsec >= limit.tv_nsec);
}

} // namespace

int QMRamDiskSaveEstimate::walkChanges(const QString &path, double since, const Visit &visit)
{
    if (path.isEmpty())
        return -1;
    const QSet<QPair<quint64, quint64>> mapped = QMVolumeHolders::sharedWritableMappings(path);
    // A second of margin covers the coarse clock the file system stamps times with.
    const qint64 ms = qint64(since * 1000.0) - 1000;
    // Floor division: a time before 1970 (never saved) still orders right.
    const qint64 seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const struct timespec limit = {time_t(seconds), long(ms - seconds * 1000) * 1000000L};
    const auto changed = [&](const struct stat &st) {
        return notBefore(st.st_ctim, limit) || mapped.contains(qMakePair(quint64(st.st_dev), quint64(st.st_ino)));
    };

    // Depth first with a stack of paths, so that a deep tree holds one descriptor at a time.
    QList<QByteArray> directories{QFile::encodeName(path)};
    struct stat st {};
    if (lstat(directories.first().constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    int result = changed(st) ? 1 : 0;
    if (!visit(st, result == 1))
        return result;
    while (!directories.isEmpty()) {
        const QByteArray dirPath = directories.takeLast();
        const int fd = open(dirPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (!dir) {
            const int why = errno;
            if (fd >= 0)
                close(fd);
            return why == ENOENT ? 1 : -1; // removed since it was listed
        }
        bool stop = false;
        while (const struct dirent *entry = QMNextDirEntry(dir)) {
            const char *name = entry->d_name;
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                result = errno == ENOENT ? 1 : -1;
                stop = true;
                break;
            }
            const bool itemChanged = changed(st);
            if (itemChanged)
                result = 1;
            if (!visit(st, itemChanged)) {
                stop = true;
                break;
            }
            if (S_ISDIR(st.st_mode))
                directories << dirPath + '/' + name;
        }
        if (!stop && errno != 0) {
            result = -1;
            stop = true;
        }
        closedir(dir);
        if (stop)
            return result;
    }
    return result;
}

QMRamDiskSaveEstimate::Work QMRamDiskSaveEstimate::pendingWork(const QString &path, double lastSaveDate,
                                                               const QString &copyPath)
{
    Work work;
    // Without a complete copy to link from, the save copies everything.
    const bool haveCopy = lastSaveDate > 0 && !copyPath.isEmpty()
                          && !QMRamDiskBackup::restoreSourceOf(copyPath, QMRamDisk::previousBackupExtension()).isNull();
    const int result = walkChanges(path, haveCopy ? lastSaveDate : 0, [&work](const struct stat &st, bool changed) {
        if (!S_ISREG(st.st_mode)) {
            ++work.filesToCopy; // made anew in every copy
        } else if (changed) {
            ++work.filesToCopy;
            work.bytesToCopy += quint64(std::max<off_t>(0, st.st_size));
        } else {
            ++work.filesToLink;
        }
        return true;
    });
    work.readable = result >= 0;
    work.changed = result != 0 || (haveCopy && QMRamDiskBackup::copyHasUnsettledFiles(copyPath));
    return work;
}

double QMRamDiskSaveEstimate::modelSeconds(quint64 filesCopied, quint64 bytesCopied, quint64 filesLinked)
{
    return kFlushSeconds + double(filesCopied) * kSecondsPerFile + double(bytesCopied) * kSecondsPerByte
           + double(filesLinked) * kSecondsPerLink;
}

double QMRamDiskSaveEstimate::estimatedSeconds(const Work &work, double factor)
{
    if (!work.changed)
        return 0;
    return (factor > 0 ? factor : 1.0) * modelSeconds(work.filesToCopy, work.bytesToCopy, work.filesToLink);
}

double QMRamDiskSaveEstimate::updatedFactor(double previous, double seconds, const QMFileCopier::Statistics &done)
{
    // A save is a few files at least (the top folder); a clock that jumped gives nonsense.
    const double measured =
        std::clamp(seconds / modelSeconds(done.filesCopied, done.bytesCopied, done.filesLinked), 0.05, 100.0);
    if (previous <= 0 || measured >= previous)
        return measured;
    return (previous + measured) / 2;
}
