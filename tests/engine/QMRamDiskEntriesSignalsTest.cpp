// What the windows rely on: reports that keep the values of their moment when they are
// read later, the list-changed signal, and a quit that waits for running actions while the
// event loop turns.
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <thread>

using namespace QMEngineTest;

namespace {

// Keeps what the store's delegate is handed, as a window would, to read it later.
class SnapshotDelegate : public QMRamDiskEntriesDelegate
{
public:
    void ramDiskEntries(QMRamDiskEntries *, const QMRamDisk::Ptr &) override { ++plain; }
    void ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &) override {}
    void ramDiskEntriesDidReport(QMRamDiskEntries *, const QMRamDisk::Ptr &, const QMRamDiskReport &report) override
    {
        std::lock_guard lock(mutex);
        reports << report;
    }
    std::mutex mutex;
    QList<QMRamDiskReport> reports;
    int plain = 0;
};

} // namespace

TEST(QMRamDiskReports, QueuedReportsKeepTheValuesOfTheirMoment)
{
    SnapshotDelegate delegate;
    QMRamDiskEntries entries(&delegate);
    QMRamDisk::Ptr r = entries.addRamDisk();
    QList<QMRamDiskReport> queued;
    QObject receiver;
    QObject::connect(&entries, &QMRamDiskEntries::ramDiskReported, &receiver,
                     [&](const QMRamDiskReport &report) { queued << report; }, Qt::QueuedConnection);

    // An action's steps, sent from a worker thread; nothing is delivered until it is over.
    const QMError::Ptr failure = QMError::errorWithMessage(QStringLiteral("Unable to eject disk"), QStringLiteral("r"));
    std::thread worker([&] {
        r->setAction(QMRamDiskAction_eject);
        r->inform(&entries, QMRamDiskActionInfo_backuping, nullptr);
        r->setLastWarning(QStringLiteral("the backup folder is missing"));
        r->inform(&entries, QMRamDiskActionInfo_ejecting, nullptr);
        r->setAction(QMRamDiskAction_none);
        r->setStatus(QMRamDiskStatus_mounted);
        r->inform(&entries, QMRamDiskActionInfo_ejecting, failure);
    });
    worker.join();
    QCoreApplication::processEvents();

    for (const QList<QMRamDiskReport> &seen : {queued, delegate.reports}) {
        ASSERT_EQ(seen.size(), 3);
        EXPECT_EQ(seen[0].identifier, r->identifier());
        EXPECT_EQ(seen[0].action, QMRamDiskAction_eject);
        EXPECT_EQ(seen[0].actionInfo, QMRamDiskActionInfo_backuping);
        EXPECT_TRUE(seen[0].warning.isNull());
        EXPECT_FALSE(seen[0].error);
        EXPECT_EQ(seen[1].actionInfo, QMRamDiskActionInfo_ejecting);
        EXPECT_EQ(seen[1].warning, QStringLiteral("the backup folder is missing"));
        EXPECT_FALSE(seen[1].isFinal());
        EXPECT_EQ(seen[1].status, QMRamDiskStatus_notCreated);
        EXPECT_TRUE(seen[2].isFinal());
        EXPECT_EQ(seen[2].error, failure);
        EXPECT_EQ(seen[2].status, QMRamDiskStatus_mounted);
    }
    // The snapshot path replaces the plain one; it is not sent twice.
    EXPECT_EQ(delegate.plain, 0);

    // A delegate that knows only the plain call still hears every report.
    struct PlainDelegate : QMRamDiskEntriesDelegate
    {
        void ramDiskEntries(QMRamDiskEntries *, const QMRamDisk::Ptr &) override { ++count; }
        void ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &) override {}
        int count = 0;
    } plain;
    entries.setDelegate(&plain);
    r->inform(&entries, QMRamDiskActionInfo_remounting, nullptr);
    entries.ramDiskDidUpdated(r);
    EXPECT_EQ(plain.count, 2);
}

TEST(QMRamDiskEntriesList, ChangesOfTheListAreSignalled)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QMRamDiskEntries entries;
    entries.setEntriesFilePath(dir.filePath(QStringLiteral("RamDiskEntries")));
    int changed = 0;
    QObject::connect(&entries, &QMRamDiskEntries::ramDisksDidChange, [&] { ++changed; });

    QMRamDisk::Ptr a = entries.addRamDisk();
    QMRamDisk::Ptr b = entries.addRamDisk();
    entries.addRamDisk();
    EXPECT_EQ(changed, 3);

    EXPECT_TRUE(entries.setPositionIndex(0, b->identifier()));
    EXPECT_EQ(changed, 4);
    // Dropped where it already is, or refused: the list is the same, nothing is said.
    EXPECT_TRUE(entries.setPositionIndex(1, b->identifier()));
    EXPECT_FALSE(entries.setPositionIndex(7, b->identifier()));
    EXPECT_EQ(changed, 4);

    EXPECT_TRUE(entries.removeEntry(a));
    EXPECT_EQ(changed, 5);
    EXPECT_FALSE(entries.removeEntry(a)); // no longer in it
    EXPECT_EQ(changed, 5);

    // Refused at the limit: no change.
    while (entries.count() < QMRamDiskEntries::maximumCount)
        entries.addRamDisk();
    changed = 0;
    EXPECT_FALSE(entries.addRamDisk());
    EXPECT_EQ(changed, 0);

    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    EXPECT_TRUE(entries.readRamDisksFromDefaultLocation());
    EXPECT_EQ(changed, 1);
}

TEST(QMRamDiskEntriesQuit, WaitingKeepsTheEventLoopTurningUntilTheActionEnds)
{
    QMRamDiskEntries entries;
    QMRamDisk::Ptr r = entries.addRamDisk();
    QList<QMRamDiskReport> shown;
    std::atomic<bool> firstShown = false;
    QObject window;
    QObject::connect(&entries, &QMRamDiskEntries::ramDiskReported, &window, [&](const QMRamDiskReport &report) {
        shown << report;
        firstShown = true;
    });

    // An action that reports, then ends only once the window has shown that report: only a
    // wait that turns the loop lets it end (else, after a guard against hanging, it ends
    // with nothing shown).
    r->setAction(QMRamDiskAction_backup);
    std::thread worker([&] {
        r->inform(&entries, QMRamDiskActionInfo_backuping, nullptr);
        const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!firstShown && std::chrono::steady_clock::now() < guard)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        r->setAction(QMRamDiskAction_none);
        r->inform(&entries, QMRamDiskActionInfo_backuping, nullptr);
    });
    entries.waitingEndAll();
    // The wait returned because the action ended, and the window was shown its report
    // while waiting, without the test turning the loop itself.
    EXPECT_FALSE(entries.hasRunningAction());
    EXPECT_FALSE(shown.isEmpty());
    worker.join();
    QCoreApplication::processEvents();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_TRUE(shown.last().isFinal());
}

TEST(QMRamDiskEntriesQuit, AnActionThatOutlivesItsStoreReportsToNobody)
{
    // A creation whose device tool takes a second and then fails: its last reports come
    // after the store is gone.
    ToolWrappers tools({}, {{QStringLiteral("hdiutil"), QStringLiteral("sleep 1\nexit 1\n")}});
    QMTemporaryDir mountDir(QMTest::testHome() + QStringLiteral("/mnt-XXXXXX"));
    ASSERT_TRUE(mountDir.isValid());
    SnapshotDelegate window;
    QMRamDisk::Ptr r;
    {
        QMRamDiskEntries entries(&window);
        entries.setDeletionWait(1, 50);
        r = entries.addRamDisk();
        r->setMountDirectory(mountDir.path());
        r->setSize(128000000ULL);
        entries.create(r, true);
        for (;;) {
            std::lock_guard lock(window.mutex);
            if (!window.reports.isEmpty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    qsizetype afterDeletion;
    {
        std::lock_guard lock(window.mutex);
        afterDeletion = window.reports.size();
    }
    // The action's thread lets go of the record once its final report is sent.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (r.use_count() > 1 && std::chrono::steady_clock::now() < guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(r.use_count(), 1) << "the action did not end";
    ASSERT_TRUE(r->lastError()); // the action did end, with the tool's failure
    std::lock_guard lock(window.mutex);
    EXPECT_EQ(window.reports.size(), afterDeletion);
    for (const QMRamDiskReport &report : std::as_const(window.reports))
        EXPECT_FALSE(report.isFinal());
}
