// Directory scans and the hidden-name tables.
#include "QMDirectoryStatistics.h"
#include "QMFinderTools.h"
#include "QMHiddenFilenames.h"
#include "QMLog.h"
#include "QMTemporaryDir.h"
#include "QMVolumeCapacity.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeFile(const QString &path, qsizetype size)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(size, 'x'));
}

QByteArray enc(const QString &path)
{
    return QFile::encodeName(path);
}

// Captures the log for the duration of a test.
class LogCapture
{
public:
    LogCapture()
    {
        _previous = QMLog::setSink([this](const QString &entry) {
            std::lock_guard lock(_mutex);
            _lines << entry;
        });
    }
    ~LogCapture() { QMLog::setSink(_previous); }
    QString all()
    {
        std::lock_guard lock(_mutex);
        return _lines.join(QLatin1Char('\n'));
    }

private:
    QMLog::Sink _previous;
    std::mutex _mutex;
    QStringList _lines;
};

// Restores a directory's permissions so that QMTemporaryDir can remove it.
struct PermissionGuard
{
    QByteArray path;
    ~PermissionGuard() { chmod(path.constData(), 0755); }
};

} // namespace

TEST(QMDirectoryStatistics, SumsFilesFoldersAndLinks)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath(QStringLiteral("ten")), 10);
    writeFile(dir.filePath(QStringLiteral("twenty")), 20);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    writeFile(dir.filePath(QStringLiteral("sub/five")), 5);
    // A link is counted as a link and never followed.
    ASSERT_EQ(symlink("/usr/bin", enc(dir.filePath(QStringLiteral("link"))).constData()), 0);

    QMDirectoryStatistics stats;
    ASSERT_TRUE(QMGetDirectoryStatistics(&stats, 0, dir.path()));
    EXPECT_EQ(stats.totalSize, 35u);
    EXPECT_EQ(stats.fileCount, 3u);
    EXPECT_EQ(stats.directoryCount, 1u);
    EXPECT_EQ(stats.linkCount, 1u);

    // The scan adds to what the record holds; a trailing slash changes nothing.
    ASSERT_EQ(GetDirectoryStatistics(enc(dir.path() + QLatin1Char('/')).constData(), &stats), QMScanDone);
    EXPECT_EQ(stats.totalSize, 70u);
    EXPECT_EQ(stats.fileCount, 6u);
}

TEST(QMDirectoryStatistics, CountsHiddenFiles)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath(QStringLiteral(".DS_Store")), 7);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral(".hidden")));
    writeFile(dir.filePath(QStringLiteral(".hidden/.x")), 3);
    QMDirectoryStatistics stats;
    ASSERT_TRUE(QMGetDirectoryStatistics(&stats, 0, dir.path()));
    EXPECT_EQ(stats.totalSize, 10u);
    EXPECT_EQ(stats.fileCount, 2u);
    EXPECT_EQ(stats.directoryCount, 1u);
}

TEST(QMDirectoryStatistics, RefusesRootAndMissingPaths)
{
    QMDirectoryStatistics stats;
    EXPECT_FALSE(QMGetDirectoryStatistics(&stats, 0, QStringLiteral("/")));
    EXPECT_FALSE(QMGetDirectoryStatistics(&stats, 0, QStringLiteral("/Volumes")));
    EXPECT_FALSE(QMGetDirectoryStatistics(&stats, 0, QString()));
    EXPECT_EQ(stats.fileCount, 0u) << "refused without scanning";

    LogCapture log;
    EXPECT_EQ(GetDirectoryStatistics("", &stats), QMScanNoPath);
    EXPECT_EQ(GetDirectoryStatistics(nullptr, &stats), QMScanNoPath);
    EXPECT_EQ(GetDirectoryStatistics("/nonexistent/quilmo", &stats), QMScanCannotOpen);
    EXPECT_FALSE(QMGetDirectoryStatistics(&stats, 0, QStringLiteral("/nonexistent/quilmo")));
    EXPECT_EQ(DirectoryContainsAtLeastFile(""), QMScanNoPath);
    EXPECT_EQ(DirectoryContainsAtLeastFile("/nonexistent/quilmo"), QMScanCannotOpen);
    EXPECT_TRUE(log.all().contains(QStringLiteral("dirPathL==0 dirPath:")));
    EXPECT_TRUE(log.all().contains(QStringLiteral("dir==NULL dirPath:/nonexistent/quilmo errno:2 (")));
    // Each line names the scan that failed.
    EXPECT_TRUE(log.all().contains(QStringLiteral("ERROR GetDirectoryStatistics(")));
    EXPECT_TRUE(log.all().contains(QStringLiteral("ERROR DirectoryContainsAtLeastFile(")));
}

TEST(QMDirectoryStatistics, SkipsAnUnreadableSubdirectoryAndGoesOn)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath(QStringLiteral("a")), 4);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("locked")));
    writeFile(dir.filePath(QStringLiteral("locked/secret")), 100);
    const QByteArray top = enc(dir.path());
    const QByteArray locked = enc(dir.filePath(QStringLiteral("locked")));
    PermissionGuard guard{locked};
    ASSERT_EQ(chmod(top.constData(), 0755), 0);
    ASSERT_EQ(chmod(locked.constData(), 0), 0);

    // Root reads every directory; the scan runs in a child as an ordinary user when we are root.
    auto scan = [&]() -> int {
        LogCapture log;
        QMDirectoryStatistics stats;
        int failures = 0;
        failures += QMGetDirectoryStatistics(&stats, 0, dir.path()) ? 0 : 1;
        failures += stats.totalSize == 4 ? 0 : 2;
        failures += stats.directoryCount == 1 ? 0 : 4;
        failures += log.all().contains(QStringLiteral("GetDirectoryStatistics:-2 entryPath:")) ? 0 : 8;
        failures += DirectoryContainsAtLeastFile(top.constData()) == QMScanFoundFile ? 0 : 16;
        return failures;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(scan(), 0);
        return;
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        _exit(scan());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit set of failed expectations in the child";
}

TEST(QMDirectoryStatistics, StopsADirectoryAtTheEntryPathLimit)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Nest directories until the base path is close to the limit, then put one entry
    // whose path is exactly 1022 bytes (accepted) beside one of 1023 (refused).
    QString base = dir.path();
    const QString chunk(200, QLatin1Char('d'));
    while (base.size() + 201 < 900) {
        base += QLatin1Char('/') + chunk;
        ASSERT_TRUE(QDir().mkpath(base));
    }
    const qsizetype room = 1022 - base.size() - 1;
    ASSERT_GT(room, 0);
    ASSERT_LT(room, 255);
    writeFile(base + QLatin1Char('/') + QString(room, QLatin1Char('a')), 1);
    {
        QMDirectoryStatistics stats;
        LogCapture log;
        EXPECT_EQ(GetDirectoryStatistics(enc(base).constData(), &stats), QMScanDone);
        EXPECT_EQ(stats.fileCount, 1u);
        EXPECT_EQ(DirectoryContainsAtLeastFile(enc(base).constData()), QMScanFoundFile);
    }
    writeFile(base + QLatin1Char('/') + QString(room + 1, QLatin1Char('b')), 1);
    LogCapture log;
    QMDirectoryStatistics stats;
    EXPECT_EQ(GetDirectoryStatistics(enc(base).constData(), &stats), QMScanPathTooLong);
    EXPECT_TRUE(log.all().contains(QStringLiteral("entryPathL>=MAXPATHLEN entryPathL:1023")));
    // From the top the failing subtree is logged and the scan itself still completes.
    EXPECT_TRUE(QMGetDirectoryStatistics(&stats, 0, dir.path()));
}

TEST(QMDirectoryStatistics, FindsAFileAnywhereInTheTree)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("a/b/c"))));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("d"))));
    ASSERT_EQ(symlink("/etc/hostname", enc(dir.filePath(QStringLiteral("d/link"))).constData()), 0);
    const QByteArray path = enc(dir.path());
    EXPECT_EQ(DirectoryContainsAtLeastFile(path.constData()), QMScanDone) << "folders and links only";
    writeFile(dir.filePath(QStringLiteral("a/b/c/.hidden")), 0);
    EXPECT_EQ(DirectoryContainsAtLeastFile(path.constData()), QMScanFoundFile);
}

TEST(QMHiddenFilenames, FolderBookkeepingNamesAndTheirMode)
{
    EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".DS_Store"), 0));
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".DS_Store"), 1));
    EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral("Icon\r"), 0));
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral("Icon\r"), 1));
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral("Icon"), 0));
    for (int mode : {0, 1}) {
        EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".Trash"), mode));
        EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".localized"), mode));
        EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".file"), mode));
        EXPECT_TRUE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral("File Transfer Folder\u0003\r"), mode));
    }
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral("File Transfer Folder"), 0));
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QStringLiteral(".ds_store"), 0)) << "case-sensitive";
    EXPECT_FALSE(QMFinderTools::isSystemFileNameInFolder(QString(), 0));
    // Lengths beyond the table's range never match, even with a listed prefix.
    const char name23[] = "File Transfer Folder\x03\rX";
    EXPECT_FALSE(QMIsFilenameHiddenExcluded(name23, 23, 0));
    EXPECT_FALSE(QMIsFilenameHiddenExcluded(".Trash", 0, 0));
    EXPECT_FALSE(QMIsFilenameHiddenExcluded(".Trash", 5, 0)) << "only the named length counts";
}

TEST(QMHiddenFilenames, VolumeRootAndSystemNames)
{
    EXPECT_TRUE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral(".vol")));
    EXPECT_FALSE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral(".vo")));
    EXPECT_TRUE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral(".HFS+ Private Directory Data\r")));
    EXPECT_TRUE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral(".PKInstallSandboxManager-SystemSoftware")));
    EXPECT_FALSE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral(".DS_Store")));
    EXPECT_FALSE(QMFinderTools::isVolumeHiddenFilename(QStringLiteral("Volumes")));

    EXPECT_TRUE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral("usr"), 0));
    EXPECT_FALSE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral("usr"), 1));
    for (int mode : {0, 1}) {
        EXPECT_TRUE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral("Volumes"), mode));
        EXPECT_TRUE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral(".Spotlight-V100"), mode));
        EXPECT_TRUE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral("mach_kernel"), mode));
    }
    EXPECT_FALSE(QMFinderTools::isVolumeSystemHiddenFilename(QStringLiteral("Users"), 0));
    EXPECT_FALSE(QMIsVolumeSystemHiddenFilename("dev", 0, 0));
    EXPECT_FALSE(QMIsVolumeSystemHiddenFilename(nullptr, 3, 0));
}

TEST(QMDirectoryUsage, CountsAllocatedBytesAndItemsWithHardLinksOnce)
{
    QMTemporaryDir dir;
    const QByteArray d = QFile::encodeName(dir.path());
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/sub")));
    QFile dense(dir.path() + QStringLiteral("/dense"));
    ASSERT_TRUE(dense.open(QIODevice::WriteOnly));
    ASSERT_EQ(dense.write(QByteArray(1 << 20, 'd')), 1 << 20);
    dense.close();
    QFile sparse(dir.path() + QStringLiteral("/sub/sparse"));
    ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
    ASSERT_TRUE(sparse.resize(qint64(1) << 30)); // a gigabyte of hole
    sparse.close();
    ASSERT_EQ(link((d + "/dense").constData(), (d + "/sub/second name").constData()), 0);
    ASSERT_EQ(symlink("dense", (d + "/link").constData()), 0);

    QMDirectoryUsage usage;
    QString error;
    ASSERT_TRUE(QMGetDirectoryUsage(d, &usage, &error)) << error.toStdString();
    EXPECT_EQ(usage.inodes, 4u); // sub, dense (twice named), sparse, link
    EXPECT_GE(usage.allocatedBytes, quint64(1) << 20);
    EXPECT_LT(usage.allocatedBytes, (quint64(1) << 20) + 64 * 1024); // neither the hole nor the second name

    // A tree that cannot be read whole gives no figure to trust.
    EXPECT_FALSE(QMGetDirectoryUsage(d + "/missing", &usage, &error));
    EXPECT_FALSE(error.isEmpty());
}
