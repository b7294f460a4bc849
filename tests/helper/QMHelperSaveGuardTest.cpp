// Nothing lost when the machine goes: the helper holds logind's delay lock only while a
// mounted RAM disk has a backup, and on the announcement saves it before letting go.
#include "HelperNotifier.h"
#include "HelperSaveGuard.h"
#include "QMHelperTestSupport.h"
#include "QMLogindStandIn.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMShutdownInhibitor.h"
#include "QMTestSupport.h"
#include "StatusMenuController.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

namespace {

class HelperSaveGuardTest : public LogindStandInTest
{
protected:
    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode = 0, const QString &backupDir = QString())
    {
        return QMHelperTest::mounted(_sandbox, name, backupMode, backupDir);
    }

    // A RAM disk saving into a folder of its own (`*folder`), alone in a fresh entries file.
    QMRamDisk::Ptr savingToFolder(const QString &name, QString *folder)
    {
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
        *folder = _sandbox.mkdir(QStringLiteral("usb"));
        return mounted(name, QMRamDiskBackupMode_chosenDirectory, *folder);
    }

    // The folder of the backup cannot be written: a file stands where it was (its disk is
    // gone, another one mounted in its place). giveBack() undoes it.
    static bool takeAway(const QString &folder)
    {
        return QFile::rename(folder, folder + QStringLiteral("-away")) && QMEngineTest::writeFile(folder, "not a folder");
    }
    static bool giveBack(const QString &folder)
    {
        return QFile::remove(folder) && QFile::rename(folder + QStringLiteral("-away"), folder);
    }

    // The guard over a store of the entries file written with `ramDisk`, asking logind on
    // `bus`, telling what it tells through a notifier of its own; what was told is in `told`.
    struct Guarded
    {
        Guarded(const QMRamDisk::Ptr &ramDisk, const QDBusConnection &bus)
            : written(QMHelperTest::writeEntries({ramDisk}, false)),
              read(entries.readRamDisksFromDefaultLocation()),
              guard(&entries, new QMShutdownInhibitor(bus))
        {
            guard.setNotifier(&notifier);
            QObject::connect(&notifier, &HelperNotifier::told, [this](const QString &, const QString &text) { told << text; });
        }
        QMRamDiskEntries entries;
        bool written, read;
        HelperSaveGuard guard;
        HelperNotifier notifier;
        QStringList told;
    };

    QMEngineTest::RamDiskSandbox _sandbox;
};

} // namespace

TEST_F(HelperSaveGuardTest, TheLockIsHeldOnlyForABackedUpRamDiskWhichIsSavedBeforeTheShutdown)
{
    QM_REQUIRE_LOOP_DEVICES();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    const QMRamDisk::Ptr plain = mounted(QStringLiteral("Plain"), QMRamDiskBackupMode_disabled);
    ASSERT_TRUE(QMHelperTest::writeEntries({plain}, true));
    QMRamDiskEntries entries;
    entries.readRamDisksFromDefaultLocation();
    HelperSaveGuard guard(&entries, new QMShutdownInhibitor(bus()));
    // A lock the guard asked for has reached logind once logind answered a later question.
    ASSERT_TRUE(logindCaughtUp());
    EXPECT_FALSE(guard.isGuarding());
    EXPECT_TRUE(logind.locks.isEmpty()) << "nothing to save, nothing to hold the machine for";

    const QMRamDisk::Ptr kept = mounted(QStringLiteral("Kept"), QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(QMHelperTest::writeEntries({plain, kept}, true));
    entries.readRamDisksFromDefaultLocation();
    ASSERT_TRUE(QMTest::waitUntil([&] { return guard.inhibitor()->isHeld(); }));
    EXPECT_TRUE(guard.isGuarding());
    ASSERT_EQ(logind.locks.size(), 1);
    {
        QFile work(kept->path() + QStringLiteral("/work.txt"));
        ASSERT_TRUE(work.open(QIODevice::WriteOnly));
        work.write("written just before the shutdown");
    }

    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }, 60000)) << "the lock was never let go";
    EXPECT_EQ(QMEngineTest::readFile(kept->backupDirPath() + QStringLiteral("/work.txt")),
              QByteArray("written just before the shutdown"));
    EXPECT_FALSE(plain->lastError());

    // Cancelled: held again while the RAM disk stays mounted.
    emit logind.PrepareForShutdown(false);
    EXPECT_TRUE(QMTest::waitUntil([&] { return guard.inhibitor()->isHeld(); }));
}

// A save that outlasts its bound does not hold the shutdown: the caller goes on when the
// bound passes, the save goes on to its end, and the caller is not told twice.
TEST_F(HelperSaveGuardTest, ASaveLongerThanItsBoundLetsTheShutdownGoOnAndStillEnds)
{
    QM_REQUIRE_LOOP_DEVICES();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    const QMRamDisk::Ptr slow = mounted(QStringLiteral("Slow"), QMRamDiskBackupMode_defaultLocation);
    const QByteArray data(96 * 1024 * 1024, 'S');
    {
        QFile big(slow->path() + QStringLiteral("/big"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_EQ(big.write(data), data.size());
    }
    ASSERT_TRUE(QMHelperTest::writeEntries({slow}, true));
    QMRamDiskEntries entries;
    entries.readRamDisksFromDefaultLocation();
    HelperSaveGuard guard(&entries, new QMShutdownInhibitor(bus()));

    int told = 0;
    guard.saveAllThen([&] { ++told; }, 1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return told == 1; }, 10000));
    EXPECT_TRUE(guard.schedule()->isSavingAll()) << "the save had ended: the bound was not what let it go";
    ASSERT_TRUE(QMTest::waitUntil([&] { return !guard.schedule()->isSavingAll(); }, 120000));
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(slow->lastError());
    EXPECT_EQ(QFileInfo(slow->backupDirPath() + QStringLiteral("/big")).size(), data.size());
}

// Without a tray menu the guard's own store writes what each save did into the entries
// file, and a failed save is told, once until a save works again.
TEST_F(HelperSaveGuardTest, EverySaveIsRecordedAndAFailureIsToldOnce)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMHelperTest::NotificationDaemon daemon;
    if (!daemon.isRunning())
        GTEST_SKIP() << daemon.why().toStdString();
    QString folder;
    const QMRamDisk::Ptr r = savingToFolder(QStringLiteral("Scheduled"), &folder);
    r->setAutoSaveInterval(1);
    Guarded guarded(r, bus());
    QMRamDiskEntries &entries = guarded.entries;
    HelperSaveGuard &guard = guarded.guard;
    const QStringList &told = guarded.told;
    QList<bool> ended;
    QObject::connect(guard.schedule(), &QMRamDiskAutoSave::saveEnded, [&](const QString &, bool ok) { ended << ok; });
    // The guard tells as it hears of the end of a save, before this test does.
    QMEngineTest::LogCapture log;
    const auto tellings = [&] { return log.lines().filter(QStringLiteral("Told the user: Quilmo could not save")).size(); };
    guard.schedule()->setMinimumInterval(1);
    guard.schedule()->setCheckPeriod(100);

    const auto changeAndWait = [&](const QString &file) {
        const qsizetype before = ended.size();
        QMEngineTest::writeFile(r->path() + QLatin1Char('/') + file, "x");
        return QMTest::waitUntil([&] { return ended.size() > before; }, 60000);
    };
    ASSERT_TRUE(changeAndWait(QStringLiteral("first")));
    ASSERT_TRUE(ended.last());
    QMRamDiskEntries file;
    ASSERT_TRUE(file.readRamDisksFromDefaultLocation());
    ASSERT_EQ(file.count(), 1);
    EXPECT_GT(file.ramDisks().first()->lastSaveDate(), 0) << "the save is not in the entries file";
    EXPECT_EQ(file.ramDisks().first()->lastSaveDate(), entries.ramDisks().first()->lastSaveDate());

    ASSERT_TRUE(takeAway(folder));
    ASSERT_TRUE(changeAndWait(QStringLiteral("second")));
    EXPECT_FALSE(ended.last());
    ASSERT_TRUE(QMTest::waitUntil([&] { return told.size() == 1; }, 30000));
    EXPECT_TRUE(told.first().contains(QStringLiteral("The last save of \"Scheduled\" failed"))) << told.first().toStdString();
    EXPECT_TRUE(told.first().contains(QStringLiteral("Its last complete copy, in %1").arg(r->backupDirPath())))
        << told.first().toStdString();
    ASSERT_TRUE(changeAndWait(QStringLiteral("third")));
    EXPECT_FALSE(ended.last());
    EXPECT_EQ(tellings(), 1) << "told at every round";

    ASSERT_TRUE(giveBack(folder));
    ASSERT_TRUE(changeAndWait(QStringLiteral("fourth")));
    EXPECT_TRUE(ended.last());
    ASSERT_TRUE(takeAway(folder));
    ASSERT_TRUE(changeAndWait(QStringLiteral("fifth")));
    EXPECT_EQ(tellings(), 2) << "a new failure after a save that worked";
    EXPECT_TRUE(QMTest::waitUntil([&] { return told.size() == 2; }, 30000));
    ASSERT_TRUE(giveBack(folder));
}

// A save that fails when the machine is about to go is tried once more while the lock is
// held; failing again, it is told at once and again at the next start of the helper.
TEST_F(HelperSaveGuardTest, AFailedSaveBeforeTheShutdownIsTriedAgainThenToldNowAndAtTheNextStart)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMHelperTest::NotificationDaemon daemon;
    if (!daemon.isRunning())
        GTEST_SKIP() << daemon.why().toStdString();
    QFile::remove(HelperNotifier::settingsFilePath());
    QString folder;
    const QMRamDisk::Ptr r = savingToFolder(QStringLiteral("Unsaved"), &folder);
    QMEngineTest::RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError());
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/work.txt"), "written before the shutdown"));
    ASSERT_TRUE(takeAway(folder));
    Guarded guarded(r, bus());
    HelperSaveGuard &guard = guarded.guard;
    const QStringList &told = guarded.told;
    int attempts = 0;
    bool heldWhenTriedAgain = false;
    QObject::connect(guard.schedule(), &QMRamDiskAutoSave::saveStarted, [&] {
        if (++attempts == 2)
            heldWhenTriedAgain = !logind.isClosed(0);
    });
    bool over = false;
    QObject::connect(&guard, &HelperSaveGuard::savedBeforeGoing, [&] { over = true; });
    ASSERT_TRUE(QMTest::waitUntil([&] { return guard.inhibitor()->isHeld(); }));

    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return over; }, 120000));
    EXPECT_EQ(attempts, 2);
    EXPECT_TRUE(heldWhenTriedAgain) << "the lock went before the second try";
    EXPECT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }));
    ASSERT_TRUE(QMTest::waitUntil([&] { return told.size() == 1; }, 30000));
    EXPECT_TRUE(told.first().contains(QStringLiteral("The last save of \"Unsaved\" failed"))) << told.first().toStdString();
    EXPECT_TRUE(told.first().contains(QStringLiteral("holds what it held on"))) << told.first().toStdString();

    // The next start of the helper: told once more, then never again.
    for (int start = 0; start < 2; ++start) {
        HelperNotifier next;
        QStringList toldNext;
        QObject::connect(&next, &HelperNotifier::told, [&](const QString &, const QString &text) { toldNext << text; });
        next.tellPending();
        if (start == 0) {
            ASSERT_TRUE(QMTest::waitUntil([&] { return toldNext.size() == 1; }, 30000));
            EXPECT_EQ(toldNext.first(), told.first());
        } else {
            EXPECT_TRUE(toldNext.isEmpty()) << "told at every start";
        }
    }
    ASSERT_TRUE(giveBack(folder));
}

// With the tray menu over the guard's store, a failed scheduled save is told once, through
// the tray icon, not by the menu as well; a save the user starts is still the menu's to tell.
TEST_F(HelperSaveGuardTest, WithTheTrayMenuAFailedScheduledSaveIsToldOnce)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMHelperTest::NotificationDaemon daemon;
    if (!daemon.isRunning())
        GTEST_SKIP() << daemon.why().toStdString();
    QString folder;
    const QMRamDisk::Ptr r = savingToFolder(QStringLiteral("Traced"), &folder);
    r->setAutoSaveInterval(1);
    Guarded guarded(r, bus());
    HelperSaveGuard &guard = guarded.guard;
    StatusMenuController menu(nullptr, &guarded.entries);
    menu.leaveSaveFailuresTo(&guard);
    guarded.notifier.setStatusItem(menu.statusItem());
    QStringList menuTold;
    QObject::connect(&menu, &StatusMenuController::userNotified,
                     [&](const QString &, const QString &text) { menuTold << text; });
    QList<bool> ended;
    QObject::connect(guard.schedule(), &QMRamDiskAutoSave::saveEnded, [&](const QString &, bool ok) { ended << ok; });
    guard.schedule()->setMinimumInterval(1);
    guard.schedule()->setCheckPeriod(100);

    ASSERT_TRUE(takeAway(folder));
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/work.txt"), "x"));
    // The schedule hears the end of its save after the menu heard the same report.
    ASSERT_TRUE(QMTest::waitUntil([&] { return !ended.isEmpty(); }, 60000));
    EXPECT_FALSE(ended.first());
    ASSERT_TRUE(QMTest::waitUntil([&] { return guarded.told.size() == 1; }, 30000));
    EXPECT_TRUE(guarded.told.first().contains(QStringLiteral("The last save of \"Traced\" failed")));
    EXPECT_TRUE(menuTold.isEmpty()) << "told by the menu too: " << menuTold.join(QLatin1Char('|')).toStdString();

    guard.schedule()->stop();
    guarded.entries.startAction(QMRamDiskAction_backup, guarded.entries.ramDisks().first(), true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return menuTold.size() == 1; }, 60000));
    EXPECT_EQ(guarded.told.size(), 1);
    ASSERT_TRUE(giveBack(folder));
}

// Changes that would take longer to save than logind waits at shutdown are saved at once,
// under a block lock: a shutdown asked for meanwhile is refused, naming Quilmo, and the
// lock goes with the end of the save, which holds every file.
TEST_F(HelperSaveGuardTest, ChangesThatWouldNotFitTheShutdownDelayAreSavedAheadUnderABlockLock)
{
    QM_REQUIRE_LOOP_DEVICES();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    logind.delayMaxUSec = 2000000;
    const QMRamDisk::Ptr r = QMHelperTest::mountedAndSavedOnce(_sandbox, QStringLiteral("Busy"));
    ASSERT_TRUE(r);
    const int pending = QMHelperTest::fillUntilSaveTakes(r, 2.5);
    ASSERT_GT(pending, 0) << "the RAM disk has no room for changes that slow to save";

    Guarded guarded(r, bus());
    HelperSaveGuard &guard = guarded.guard;
    guard.setEstimatePeriod(100);
    bool over = false;
    QObject::connect(&guard, &HelperSaveGuard::caughtUp, [&] { over = true; });
    ASSERT_TRUE(QMTest::waitUntil([&] { return !logind.openBlockLocks().isEmpty() || over; }, 30000));
    ASSERT_FALSE(logind.openBlockLocks().isEmpty()) << "saved without the block lock, or not ahead at all";
    EXPECT_TRUE(guard.isCatchingUp());
    const QString refused = powerOff();
    EXPECT_TRUE(refused.contains(QStringLiteral("\"Quilmo\""))) << refused.toStdString();
    EXPECT_FALSE(over) << "the save was over before the refusal was checked";

    ASSERT_TRUE(QMTest::waitUntil([&] { return over; }, 180000)) << "the save ahead never ended";
    EXPECT_TRUE(logind.openBlockLocks().isEmpty()) << "the block lock outlived the save";
    EXPECT_TRUE(guard.inhibitor()->isHeld()) << "the delay lock went too";
    const QMRamDisk::Ptr saved = guarded.entries.ramDisks().first();
    EXPECT_FALSE(saved->lastError());
    EXPECT_GT(saved->lastSaveDate(), r->lastSaveDate());
    EXPECT_EQ(QMHelperTest::countFiles(r->backupDirPath()), 2000 + pending);
    EXPECT_EQ(QMEngineTest::readFile(r->backupDirPath() + QStringLiteral("/pending/d0/f999")), QByteArray(100, 'p'));
    bool gone = false;
    QObject::connect(&guard, &HelperSaveGuard::savedBeforeGoing, [&] { gone = true; });
    EXPECT_TRUE(powerOff().isEmpty()) << "refused after the save";
    EXPECT_TRUE(QMTest::waitUntil([&] { return gone; }, 60000));
}
