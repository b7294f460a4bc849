// One action per RAM disk across programs: the lock under the runtime directory.
#include "QMRamDisk.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

using namespace QMEngineTest;

TEST(QMRamDiskActionLock, AHeldLockRefusesTheActionAndSaysWho)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    QMError::Ptr error;
    auto held = QMRamDiskActionLock::acquire(r->identifier(), QMRamDiskAction_eject, &error);
    ASSERT_TRUE(held) << error->description().toStdString();
    const QString dir = QMRamDiskActionLock::lockDirectory();
    EXPECT_EQ(dir, qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/quilmo"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Every action of the record is refused while it is held, by this process too (a
    // second store of the same file holds its own record objects).
    for (qint64 action : {QMRamDiskAction_create, QMRamDiskAction_eject, QMRamDiskAction_remount,
                          QMRamDiskAction_cleanUpFiles}) {
        SCOPED_TRACE(action);
        RecordingDelegate delegate;
        r->performAction(action, &delegate, false);
        const auto reports = delegate.reports();
        ASSERT_EQ(reports.size(), 1);
        EXPECT_EQ(reports.first().action, 0);
        ASSERT_TRUE(reports.first().error);
        EXPECT_EQ(reports.first().error->message(), QStringLiteral("An other action is running:5"));
        EXPECT_EQ(reports.first().error->depends().text(),
                  QStringLiteral("%1 (pid %2) is running action 5 on it")
                      .arg(QCoreApplication::applicationName())
                      .arg(QCoreApplication::applicationPid()));
        EXPECT_EQ(r->action(), 0);
    }

    // Let go: the next action runs (an eject of a RAM disk that is not there succeeds).
    held.reset();
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(delegate.reports().isEmpty());
    EXPECT_FALSE(delegate.reports().last().error);
    // ... and let go of its own lock at its end, before its last report.
    EXPECT_TRUE(QMRamDiskActionLock::acquire(r->identifier(), QMRamDiskAction_backup, &error));
}

TEST(QMRamDiskActionLock, AKilledHolderLeavesNoLockBehind)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    const QString path =
        QMRamDiskActionLock::lockPathForIdentifier(QMRamDiskActionLock::lockDirectory(), r->identifier());
    // Another process takes the lock the same way (flock on the same file) and is killed.
    QProcess holder;
    holder.start(QStringLiteral("perl"), {QStringLiteral("-e"),
                                          QStringLiteral("use Fcntl ':flock'; open(F, '>>', $ARGV[0]) or die; "
                                                         "flock(F, LOCK_EX) or die; sleep 60"),
                                          path});
    ASSERT_TRUE(holder.waitForStarted());
    QMError::Ptr error;
    for (int i = 0; i < 500 && QMRamDiskActionLock::acquire(r->identifier(), 1, &error); ++i)
        QThread::msleep(10);
    EXPECT_FALSE(QMRamDiskActionLock::acquire(r->identifier(), 1, &error));
    ASSERT_TRUE(error);
    // Nothing written by the holder: still the busy message, without a name.
    EXPECT_EQ(error->message(), QStringLiteral("An other action is running:0"));
    holder.kill();
    holder.waitForFinished();
    EXPECT_TRUE(QMRamDiskActionLock::acquire(r->identifier(), 1, &error));
}

TEST(QMRamDiskActionLock, IdentifiersNeverLeaveTheLockDirectory)
{
    const QString dir = QStringLiteral("/run/user/1/quilmo");
    const QString uuid = QStringLiteral("0F8B2C1A-9A4E-4C1B-8E5D-1234567890AB");
    EXPECT_EQ(QMRamDiskActionLock::lockPathForIdentifier(dir, uuid), dir + QLatin1Char('/') + uuid + QStringLiteral(".lock"));
    for (const char *hostile : {"../../etc/passwd", "a/b", ".", "..", "", "-rf", "name with space", "ünï"}) {
        const QString path = QMRamDiskActionLock::lockPathForIdentifier(dir, QString::fromUtf8(hostile));
        SCOPED_TRACE(hostile);
        EXPECT_EQ(QFileInfo(path).path(), dir);
        EXPECT_EQ(QFileInfo(path).fileName().size(), 64 + 5);
    }
    // Two identifiers that differ get two locks.
    EXPECT_NE(QMRamDiskActionLock::lockPathForIdentifier(dir, QStringLiteral("a/b")),
              QMRamDiskActionLock::lockPathForIdentifier(dir, QStringLiteral("a/c")));
}

TEST(QMRamDiskActionLock, APlantedLockFileIsRefusedNotFollowed)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    const QString dir = QMRamDiskActionLock::lockDirectory();
    const QString path = QMRamDiskActionLock::lockPathForIdentifier(dir, r->identifier());
    QMTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("victim"));
    ASSERT_TRUE(QFile::link(target, path));
    QMError::Ptr error;
    EXPECT_FALSE(QMRamDiskActionLock::acquire(r->identifier(), 3, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to lock the RamDisk for this action"));
    EXPECT_FALSE(QFileInfo::exists(target)); // nothing was created through the link
    QFile::remove(path);

    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_FALSE(QMRamDiskActionLock::acquire(r->identifier(), 3, &error)); // and does not hang
    QFile::remove(path);
    EXPECT_TRUE(QMRamDiskActionLock::acquire(r->identifier(), 3, &error));
}
