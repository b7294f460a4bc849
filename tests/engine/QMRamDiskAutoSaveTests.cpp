// Saving on a schedule and all at once: what counts as a change, the schedule over real
// RAM disks, the setting's archive form, and the helper's login item that it needs.

#include "QMRamDiskActionLock.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

QByteArray fs(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

// Every kind of change a save must carry is seen, also deep in the tree and also when the
// only trace is in the folder that held a name; a tree older than the save is unchanged.
TEST(QMRamDiskAutoSave, EveryKindOfChangeSinceTheLastSaveIsSeen)
{
    const QStringList kinds{QStringLiteral("write"),  QStringLiteral("chmod"),  QStringLiteral("xattr"),
                            QStringLiteral("delete"), QStringLiteral("rename"), QStringLiteral("add"),
                            QStringLiteral("deep"),   QStringLiteral("link"),   QStringLiteral("rmdir")};
    QMTemporaryDir root;
    for (const QString &kind : kinds) {
        const QString t = root.filePath(kind);
        ASSERT_TRUE(QDir().mkpath(t + QStringLiteral("/a/b/c/empty")));
        ASSERT_TRUE(writeFile(t + QStringLiteral("/file"), "contents"));
        ASSERT_TRUE(writeFile(t + QStringLiteral("/a/b/c/deep"), "deep"));
    }
    // Past the margin that covers the file system's coarse clock.
    ASSERT_TRUE(waitUntilOlderThanASave(root.filePath(kinds.last()) + QStringLiteral("/a/b/c/deep"))); // written last
    const double saved = now();
    for (const QString &kind : kinds)
        EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(root.filePath(kind), saved), 0) << kind.toStdString();

    const auto tree = [&](const QString &kind) { return root.filePath(kind); };
    ASSERT_TRUE(writeFile(tree(QStringLiteral("write")) + QStringLiteral("/file"), "CONTENTS"));
    ASSERT_EQ(chmod(fs(tree(QStringLiteral("chmod")) + QStringLiteral("/file")).constData(), 0600), 0);
    ASSERT_EQ(setxattr(fs(tree(QStringLiteral("xattr")) + QStringLiteral("/a/b/c/deep")).constData(), "user.q", "1", 1, 0), 0);
    ASSERT_TRUE(QFile::remove(tree(QStringLiteral("delete")) + QStringLiteral("/a/b/c/deep")));
    ASSERT_TRUE(QFile::rename(tree(QStringLiteral("rename")) + QStringLiteral("/file"),
                              tree(QStringLiteral("rename")) + QStringLiteral("/a/moved")));
    ASSERT_TRUE(writeFile(tree(QStringLiteral("add")) + QStringLiteral("/a/b/new"), "new"));
    ASSERT_TRUE(writeFile(tree(QStringLiteral("deep")) + QStringLiteral("/a/b/c/deep"), "DEEP"));
    ASSERT_EQ(link(fs(tree(QStringLiteral("link")) + QStringLiteral("/file")).constData(),
                   fs(tree(QStringLiteral("link")) + QStringLiteral("/a/second name")).constData()),
              0);
    ASSERT_TRUE(QDir().rmdir(tree(QStringLiteral("rmdir")) + QStringLiteral("/a/b/c/empty")));
    for (const QString &kind : kinds)
        EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(tree(kind), saved), 1) << kind.toStdString();

    // Never saved: changed. No volume there: cannot tell.
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(tree(QStringLiteral("write")), 0), 1);
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(root.filePath(QStringLiteral("missing")), saved), -1);
}

TEST(QMRamDiskAutoSave, TheSaveDateReadsAsAnAge)
{
    const double t = 1765000000;
    EXPECT_EQ(QMRamDiskAutoSave::savedText(0, t), QStringLiteral("Never saved"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t - 30), QStringLiteral("Saved just now")); // a clock set back
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 59.9), QStringLiteral("Saved just now"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 60), QStringLiteral("Saved 1 minute ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 180), QStringLiteral("Saved 3 minutes ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 3599), QStringLiteral("Saved 59 minutes ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 3600), QStringLiteral("Saved 1 hour ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 86399), QStringLiteral("Saved 23 hours ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 86400), QStringLiteral("Saved 1 day ago"));
    EXPECT_EQ(QMRamDiskAutoSave::savedText(t, t + 3 * 86400), QStringLiteral("Saved 3 days ago"));
}

// Older files have no "autoSaveInterval": their RAM disks are never saved on a schedule.
TEST(QMRamDiskAutoSave, TheIntervalIsArchivedOnlyWhenSetAndMissingMeansOff)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    QVariantMap coder;
    r->encodeWithCoder(&coder);
    EXPECT_FALSE(coder.contains(QStringLiteral("autoSaveInterval")));
    EXPECT_EQ(QMRamDisk::initWithCoder(coder)->autoSaveInterval(), 0);

    r->setAutoSaveInterval(900);
    coder.clear();
    r->encodeWithCoder(&coder);
    EXPECT_EQ(coder.value(QStringLiteral("autoSaveInterval")).toLongLong(), 900);
    EXPECT_EQ(QMRamDisk::initWithCoder(coder)->autoSaveInterval(), 900);
    coder.insert(QStringLiteral("autoSaveInterval"), -5);
    EXPECT_EQ(QMRamDisk::initWithCoder(coder)->autoSaveInterval(), 0);

    // Through the entries file and back.
    QMTemporaryDir dir;
    QMRamDiskEntries entries;
    entries.setEntriesFilePath(dir.filePath(QStringLiteral("RamDiskEntries")));
    QMRamDisk::Ptr kept = entries.addRamDisk();
    kept->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    kept->setAutoSaveInterval(1800);
    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    QMRamDiskEntries again;
    again.setEntriesFilePath(entries.entriesFilePath());
    ASSERT_TRUE(again.readRamDisksFromDefaultLocation());
    ASSERT_EQ(again.count(), 1);
    EXPECT_EQ(again.ramDisks().first()->autoSaveInterval(), 1800);
}

// The helper runs the schedule, so it must start at login while a RAM disk has one.
TEST(QMRamDiskAutoSave, AScheduleKeepsTheHelperAtLogin)
{
    QMRamDiskEntries entries;
    QMRamDisk::Ptr r = entries.addRamDisk();
    r->setAutoSaveInterval(900);
    EXPECT_FALSE(entries.helperIsWantedAtLogin()) << "a schedule without a backup saves nothing";
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    EXPECT_TRUE(entries.helperIsWantedAtLogin());
    r->setAutoSaveInterval(0);
    EXPECT_FALSE(entries.helperIsWantedAtLogin());
    r->setMountDirectory(QDir::homePath());
    r->setBackupMode(QMRamDiskBackupMode_baseSynchronized);
    r->setAutoSaveInterval(300);
    EXPECT_TRUE(entries.helperIsWantedAtLogin());

    EXPECT_EQ(QMRamDiskAutoSave::saveActionOf(r), QMRamDiskAction_copyToBase);
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(QDir::homePath());
    EXPECT_EQ(QMRamDiskAutoSave::saveActionOf(r), QMRamDiskAction_backup);
    r->setBackupMode(QMRamDiskBackupMode_disabled);
    EXPECT_EQ(QMRamDiskAutoSave::saveActionOf(r), QMRamDiskAction_none);
}

namespace {

// A store with real RAM disks made through it, released with the sandbox.
class AutoSaveOnRamDisks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        _sandbox = std::make_unique<RamDiskSandbox>();
        ASSERT_TRUE(_sandbox->isValid());
        _entries = std::make_unique<QMRamDiskEntries>();
        _entries->setEntriesFilePath(_sandbox->path() + QStringLiteral("/RamDiskEntries"));
        _entries->setDeletionWait(4 * 120, 250);
    }
    void TearDown() override
    {
        if (_entries)
            _entries->waitingEndAll(4 * 120, 250);
        _entries.reset();
        _sandbox.reset();
    }

    // A mounted RAM disk of the store; `backup` gives it the default-location backup.
    QMRamDisk::Ptr mounted(const QString &name, bool backup)
    {
        QMRamDisk::Ptr r = _entries->addRamDisk();
        r->setName(name);
        r->setSize(128000000ULL);
        r->setMountDirectory(_sandbox->mkdir(QStringLiteral("volumes")));
        if (backup) {
            r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
            r->setAutoSaveInterval(1);
        }
        _sandbox->watch(r);
        return runToEnd(r, QMRamDiskAction_create) ? r : nullptr;
    }
    bool runToEnd(const QMRamDisk::Ptr &r, qint64 action)
    {
        bool ended = false;
        const QString id = r->identifier();
        QObject context;
        QObject::connect(_entries.get(), &QMRamDiskEntries::ramDiskReported, &context,
                         [&](const QMRamDiskReport &report) { ended = ended || (report.isFinal() && report.identifier == id); });
        _entries->startAction(action, r, true);
        return QMTest::waitUntil([&] { return ended; }, 120000) && !r->lastError();
    }

    std::unique_ptr<RamDiskSandbox> _sandbox;
    std::unique_ptr<QMRamDiskEntries> _entries;
};

} // namespace

// With a 1-second interval, a changed RAM disk is saved and an unchanged one is not; one
// without a backup is never touched, and nor is one whose contents are incomplete.
TEST_F(AutoSaveOnRamDisks, TheScheduleSavesAChangedRamDiskAndNotAnUnchangedOne)
{
    QMRamDisk::Ptr saved = mounted(QStringLiteral("Scheduled"), true);
    QMRamDisk::Ptr plain = mounted(QStringLiteral("Unsaved"), false);
    ASSERT_TRUE(saved && plain);
    ASSERT_TRUE(writeFile(saved->path() + QStringLiteral("/first"), "1"));
    ASSERT_TRUE(waitUntilOlderThanASave(saved->path()));
    ASSERT_TRUE(runToEnd(saved, QMRamDiskAction_backup));
    const double firstSave = saved->lastSaveDate();
    ASSERT_GT(firstSave, 0);

    QMRamDiskAutoSave schedule(_entries.get());
    schedule.setMinimumInterval(1);
    schedule.setCheckPeriod(100);
    QStringList started, skipped;
    QList<QPair<QString, bool>> ended;
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveStarted, [&](const QString &id) { started << id; });
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveSkipped, [&](const QString &id) { skipped << id; });
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveEnded,
                     [&](const QString &id, bool ok) { ended << qMakePair(id, ok); });
    schedule.start();

    // Unchanged: looked at, and left alone.
    ASSERT_TRUE(QMTest::waitUntil([&] { return skipped.size() >= 2; }, 20000));
    EXPECT_EQ(started.size(), 0);
    EXPECT_EQ(saved->lastSaveDate(), firstSave);

    // Changed while another program acts on it: left alone, without an error, until
    // that program lets go; then saved by its ordinary backup, into its backup folder.
    QMError::Ptr refusal;
    auto otherProgram = QMRamDiskActionLock::acquire(saved->identifier(), QMRamDiskAction_backup, &refusal);
    ASSERT_TRUE(otherProgram) << (refusal ? refusal->description().toStdString() : "");
    ASSERT_TRUE(writeFile(saved->path() + QStringLiteral("/second"), "2"));
    QStringList heldBack;
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveHeldBack, [&](const QString &id) { heldBack << id; });
    ASSERT_TRUE(QMTest::waitUntil([&] { return heldBack.count(saved->identifier()) >= 2; }, 20000));
    EXPECT_TRUE(started.isEmpty());
    EXPECT_FALSE(saved->lastError());
    otherProgram.reset();
    ASSERT_TRUE(QMTest::waitUntil([&] { return ended.size() >= 1; }, 60000));
    EXPECT_EQ(started.first(), saved->identifier());
    EXPECT_TRUE(ended.first().second);
    EXPECT_GT(saved->lastSaveDate(), firstSave);
    EXPECT_EQ(readFile(saved->backupDirPath() + QStringLiteral("/second")), QByteArray("2"));
    EXPECT_FALSE(started.contains(plain->identifier()) || skipped.contains(plain->identifier()));

    // Incomplete contents are never saved over the complete copy by the schedule.
    saved->setContentsIncomplete(true);
    ASSERT_TRUE(writeFile(saved->path() + QStringLiteral("/third"), "3"));
    const int before = started.size();
    const qsizetype heldBefore = heldBack.size();
    ASSERT_TRUE(QMTest::waitUntil([&] { return heldBack.size() >= heldBefore + 2; }, 20000));
    EXPECT_EQ(started.size(), before);
    EXPECT_FALSE(QFileInfo::exists(saved->backupDirPath() + QStringLiteral("/third")));
    saved->setContentsIncomplete(false);
    schedule.stop();
}

// Before the machine goes: every changed RAM disk with a backup is saved, one that is busy
// is saved once its action ended, and the end of all of them is told once.
TEST_F(AutoSaveOnRamDisks, SaveAllSavesEveryChangedRamDiskAndTellsWhenAllEnded)
{
    QMRamDisk::Ptr one = mounted(QStringLiteral("One"), true);
    QMRamDisk::Ptr two = mounted(QStringLiteral("Two"), true);
    QMRamDisk::Ptr plain = mounted(QStringLiteral("Plain"), false);
    ASSERT_TRUE(one && two && plain);
    ASSERT_TRUE(writeFile(one->path() + QStringLiteral("/work"), "one"));
    ASSERT_TRUE(writeFile(two->path() + QStringLiteral("/work"), "two"));
    ASSERT_TRUE(writeFile(plain->path() + QStringLiteral("/work"), "lost at eject, by choice"));

    QMRamDiskAutoSave saver(_entries.get());
    int all = 0;
    QStringList ended;
    QObject::connect(&saver, &QMRamDiskAutoSave::allSaved, [&] { ++all; });
    QObject::connect(&saver, &QMRamDiskAutoSave::saveEnded, [&](const QString &id, bool) { ended << id; });
    // One of them is busy with a backup of its own when the machine is told to go.
    _entries->startAction(QMRamDiskAction_backup, two, true);
    ASSERT_NE(two->action(), 0);
    EXPECT_EQ(saver.saveAll(), 2);
    ASSERT_TRUE(QMTest::waitUntil([&] { return all == 1; }, 120000));
    EXPECT_EQ(readFile(one->backupDirPath() + QStringLiteral("/work")), QByteArray("one"));
    EXPECT_EQ(readFile(two->backupDirPath() + QStringLiteral("/work")), QByteArray("two"));
    EXPECT_TRUE(plain->backupDirPath().isNull());
    EXPECT_FALSE(saver.isSavingAll());
    // A save started afterwards ends without a second "all saved" for the first round.
    ASSERT_TRUE(runToEnd(one, QMRamDiskAction_backup));
    EXPECT_EQ(all, 1);

    // Nothing to save: told at once.
    for (const QMRamDisk::Ptr &r : {one, two}) {
        ASSERT_TRUE(waitUntilOlderThanASave(r->path() + QStringLiteral("/work")));
        ASSERT_TRUE(runToEnd(r, QMRamDiskAction_backup));
    }
    ended.clear();
    EXPECT_EQ(saver.saveAll(), 2);
    ASSERT_TRUE(QMTest::waitUntil([&] { return all == 2; }, 60000));
    EXPECT_TRUE(ended.isEmpty()) << "an unchanged RAM disk was saved";
}

// A RAM disk whose schedule is off is never saved by it, round after round and change after
// change, while its scheduled neighbour is.
TEST_F(AutoSaveOnRamDisks, ARamDiskWhoseScheduleIsOffIsNeverSavedByIt)
{
    QMRamDisk::Ptr scheduled = mounted(QStringLiteral("Scheduled"), true);
    QMRamDisk::Ptr off = mounted(QStringLiteral("Off"), true);
    ASSERT_TRUE(scheduled && off);
    off->setAutoSaveInterval(0);
    QMRamDiskAutoSave schedule(_entries.get());
    schedule.setMinimumInterval(1);
    schedule.setCheckPeriod(100);
    QStringList started, looked;
    int ended = 0;
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveStarted, [&](const QString &id) { started << id; });
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveSkipped, [&](const QString &id) { looked << id; });
    QObject::connect(&schedule, &QMRamDiskAutoSave::saveEnded, [&](const QString &, bool) { ++ended; });
    schedule.start();
    for (int change = 0; change < 3; ++change) {
        for (const QMRamDisk::Ptr &r : {scheduled, off})
            ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/change%1").arg(change), "x"));
        const int before = ended;
        ASSERT_TRUE(QMTest::waitUntil([&] { return ended > before; }, 60000)) << "change " << change;
    }
    schedule.stop();
    EXPECT_GE(started.count(scheduled->identifier()), 3);
    EXPECT_EQ(started.count(off->identifier()) + looked.count(off->identifier()), 0);
    EXPECT_EQ(off->lastSaveDate(), 0);
    EXPECT_FALSE(QFileInfo::exists(off->backupDirPath()));
}
