// How long the next save would take: what the scan counts as copied and linked by the
// rule of the incremental save, and how a RAM disk's measured speed follows its saves.

#include "QMRamDisk.h"
#include "QMRamDiskSaveEstimate.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>

using namespace QMEngineTest;

TEST(QMRamDiskSaveEstimate, CountsWhatTheNextSaveCopiesAndWhatItLinks)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString volume = dir.path() + QStringLiteral("/volume");
    const QString copy = dir.path() + QStringLiteral("/copy");
    ASSERT_TRUE(QDir().mkpath(volume + QStringLiteral("/sub")) && QDir().mkpath(copy));
    ASSERT_TRUE(writeFile(volume + QStringLiteral("/sub/one"), QByteArray(100, 'a')));
    ASSERT_TRUE(writeFile(volume + QStringLiteral("/two"), QByteArray(5000, 'b')));
    ASSERT_TRUE(QFile::link(QStringLiteral("two"), volume + QStringLiteral("/link")));
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;

    // Never saved, or no copy to link from: everything is copied.
    for (const auto &[since, copyPath] : {std::pair{0.0, copy}, std::pair{now + 60, dir.path() + QStringLiteral("/none")}}) {
        const auto work = QMRamDiskSaveEstimate::pendingWork(volume, since, copyPath);
        EXPECT_TRUE(work.changed && work.readable);
        EXPECT_EQ(work.filesToCopy, 5u); // the top folder, sub, one, two, link
        EXPECT_EQ(work.bytesToCopy, 5100u);
        EXPECT_EQ(work.filesToLink, 0u);
    }
    // Saved after the last change: nothing to save, the files would be linked.
    auto work = QMRamDiskSaveEstimate::pendingWork(volume, now + 60, copy);
    EXPECT_FALSE(work.changed);
    EXPECT_EQ(work.filesToLink, 2u);
    EXPECT_EQ(work.bytesToCopy, 0u);
    EXPECT_EQ(QMRamDiskSaveEstimate::estimatedSeconds(work, 1), 0);
    // Saved before: changed files are copied, at the RAM disk's own speed.
    work = QMRamDiskSaveEstimate::pendingWork(volume, now - 60, copy);
    EXPECT_TRUE(work.changed);
    EXPECT_EQ(work.filesToCopy, 5u);
    const double model = QMRamDiskSaveEstimate::modelSeconds(5, 5100, 0);
    EXPECT_DOUBLE_EQ(QMRamDiskSaveEstimate::estimatedSeconds(work, 0), model) << "no speed measured: the model's";
    EXPECT_DOUBLE_EQ(QMRamDiskSaveEstimate::estimatedSeconds(work, 3), 3 * model);
}

TEST(QMRamDiskSaveEstimate, ASlowerSaveCountsAtOnceAFasterOneStepByStepAndTheSpeedIsKept)
{
    QMFileCopier::Statistics done;
    done.filesCopied = 10000;
    const double model = QMRamDiskSaveEstimate::modelSeconds(10000, 0, 0);
    EXPECT_DOUBLE_EQ(QMRamDiskSaveEstimate::updatedFactor(0, 2 * model, done), 2);
    EXPECT_DOUBLE_EQ(QMRamDiskSaveEstimate::updatedFactor(2, 4 * model, done), 4);
    EXPECT_DOUBLE_EQ(QMRamDiskSaveEstimate::updatedFactor(4, 1 * model, done), 2.5);

    const QMRamDisk::Ptr r = QMRamDisk::create();
    r->setSaveTimeFactor(2.5);
    QVariantMap coder;
    r->encodeWithCoder(&coder);
    EXPECT_DOUBLE_EQ(QMRamDisk::initWithCoder(coder)->saveTimeFactor(), 2.5);
}
