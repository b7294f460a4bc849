// Quilmo-Helper as a real process: the login run, the launch argument, one instance at a
// time, and RAM disks that are already there.
#include "QMCrashHandler.h"
#include "QMHelperTestSupport.h"
#include "QMLogFile.h"
#include "QMLogindStandIn.h"
#include "QMPrivateBus.h"
#include "QMRamDiskActionLock.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskUtils.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <csignal>
#include <thread>

namespace {

using QMHelperTest::Helper;
using QMHelperTest::helperLog;
using QMHelperTest::LoggingInstallation;

class HelperProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        ASSERT_TRUE(_bus.isUsable()) << "no dbus-daemon";
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
        QFile::remove(QMLogFile::logFilePath(QStringLiteral("Quilmo-Helper")));
        ASSERT_TRUE(QFile::exists(QStringLiteral(QUILMO_BUILD_DIR "/libexec/quilmo/Quilmo-Helper")));
    }

    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode = 0)
    {
        return QMHelperTest::mounted(_sandbox, name, backupMode);
    }

    QMRamDisk::Ptr atLogin(const QString &name, quint64 size)
    {
        QMRamDisk::Ptr r = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), name, size);
        r->setCreateAtLogin(true);
        return r;
    }

    // The records of the entries file, with their live state.
    QList<QMRamDisk::Ptr> entries()
    {
        QMRamDiskEntries store;
        store.readRamDisksFromDefaultLocation();
        for (const QMRamDisk::Ptr &r : store.ramDisks())
            _sandbox.watch(r);
        return store.ramDisks();
    }

    static qsizetype indexOf(const QStringList &calls, const QString &start)
    {
        for (qsizetype i = 0; i < calls.size(); ++i)
            if (calls.at(i).startsWith(start))
                return i;
        return -1;
    }

    QMEngineTest::RamDiskSandbox _sandbox;
    LoggingInstallation _installation;
    // The helpers' own session bus: what other tests' programs do on theirs (a Quilmo that
    // starts and quits) is none of theirs.
    QMTest::PrivateBus _bus;
};

} // namespace

TEST_F(HelperProcessTest, LoginRunCreatesOneAfterTheOtherThenQuitsWithoutMenu)
{
    // The first creation ends with a slow post-command: a second creation running beside
    // it would show in the log before the command's end.
    QMRamDisk::Ptr first = atLogin(QStringLiteral("First"), 128000000);
    const QString post = QMTest::writeScript(_sandbox.path(), QStringLiteral("post.sh"),
                                             QStringLiteral("echo \"start post-command\" >> '%1'\nsleep 1\n"
                                                            "echo \"end post-command\" >> '%1'\n")
                                                 .arg(_installation.log()));
    first->setPostCmd(post);
    QMRamDisk::Ptr second = atLogin(QStringLiteral("Second"), 256000000);
    QMRamDisk::Ptr notAtLogin = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Later"));
    ASSERT_TRUE(QMHelperTest::writeEntries({first, second, notAtLogin}, false));

    Helper helper(_installation, {}, _bus.environment());
    // Quilmo saves a change while the helper creates: the helper's own save keeps it.
    ASSERT_TRUE(QMTest::waitUntil([&] { return !_installation.calls().filter(QStringLiteral("start post-command")).isEmpty(); },
                                  60000));
    {
        QMRamDiskEntries quilmo;
        ASSERT_TRUE(quilmo.readRamDisksFromDefaultLocation());
        quilmo.ramDisks().at(2)->setSize(300000000);
        ASSERT_TRUE(quilmo.writeRamDisksToDefaultLocation());
    }
    ASSERT_TRUE(helper.waitForExit(120000)) << "the helper did not quit after its login run";
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(helper.exitCode(), 0);

    const QStringList calls = _installation.calls();
    const qsizetype attachFirst = indexOf(calls, QStringLiteral("start hdiutil attach -nomount -plist ram://250000"));
    const qsizetype postEnd = indexOf(calls, QStringLiteral("end post-command"));
    const qsizetype attachSecond = indexOf(calls, QStringLiteral("start hdiutil attach -nomount -plist ram://500000"));
    ASSERT_GE(attachFirst, 0) << calls.join(u'\n').toStdString();
    ASSERT_GT(postEnd, attachFirst);
    EXPECT_GT(attachSecond, postEnd) << calls.join(u'\n').toStdString();
    EXPECT_EQ(calls.filter(QStringLiteral("start hdiutil attach")).size(), 2) << "only the two marked RAM disks";

    const QList<QMRamDisk::Ptr> after = entries();
    ASSERT_EQ(after.size(), 3);
    EXPECT_EQ(after.at(0)->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(after.at(1)->status(), QMRamDiskStatus_mounted);
    EXPECT_FALSE(after.at(1)->deviceNode().isEmpty()) << "the new device is written to the entries file";
    EXPECT_EQ(after.at(2)->status(), QMRamDiskStatus_notCreated);
    EXPECT_EQ(after.at(2)->size(), 300000000u) << "what Quilmo saved meanwhile is lost";
}

TEST_F(HelperProcessTest, LoginStartWithTheMenuCreatesAndStays)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({atLogin(QStringLiteral("Kept"), 128000000)}, true));
    Helper helper(_installation, {}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([&] { return !_installation.calls().filter(QStringLiteral("end mount")).isEmpty(); },
                                  60000));
    EXPECT_FALSE(helper.waitForExit(2000)) << "the tray menu is wanted: the helper stays";
    // The device reaches the file although the helper goes on running.
    EXPECT_TRUE(QMTest::waitUntil([&] {
        const QList<QMRamDisk::Ptr> now = entries();
        return now.size() == 1 && !now.first()->deviceNode().isEmpty();
    }));
    helper.terminate();
    ASSERT_TRUE(helper.waitForExit(30000));
    EXPECT_EQ(helper.exitCode(), 0);
    const QList<QMRamDisk::Ptr> after = entries();
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.first()->status(), QMRamDiskStatus_mounted) << "quitting never ejects";
}

TEST_F(HelperProcessTest, StartedFromQuilmoCreatesNothingAndWaitsToBeTold)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({atLogin(QStringLiteral("NotNow"), 128000000)}, false));
    const QByteArray fileBefore = QMEngineTest::readFile(QMRamDiskEntries::defaultEntriesFilePath());
    Helper helper(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("Helper started from the principal app")); },
                                  30000));
    // No menu and nothing to create, yet it stays until it is told to quit.
    EXPECT_FALSE(helper.waitForExit(1500));
    EXPECT_TRUE(_installation.calls().filter(QStringLiteral("attach")).isEmpty());
    helper.terminate();
    ASSERT_TRUE(helper.waitForExit(30000));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(QMEngineTest::readFile(QMRamDiskEntries::defaultEntriesFilePath()), fileBefore);
}

TEST_F(HelperProcessTest, FromAppElsewhereThanLastIsALoginStart)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({atLogin(QStringLiteral("Now"), 128000000)}, false));
    Helper helper(_installation, {QStringLiteral("FromApp"), QStringLiteral("again")}, _bus.environment());
    ASSERT_TRUE(helper.waitForExit(120000));
    EXPECT_FALSE(helperLog().contains(QLatin1String("Helper started from the principal app")));
    EXPECT_EQ(_installation.calls().filter(QStringLiteral("start hdiutil attach")).size(), 1);
    const QList<QMRamDisk::Ptr> after = entries();
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.first()->status(), QMRamDiskStatus_mounted);
}

TEST_F(HelperProcessTest, ASecondHelperEndsTheFirstAndCarriesOn)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({}, true));
    const QString started = QStringLiteral("Helper started from the principal app");
    Helper first(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([&] { return helperLog().count(started) == 1; }, 30000));
    Helper second(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([&] { return helperLog().count(started) == 2; }, 30000));
    ASSERT_TRUE(first.waitForExit(30000)) << "the older helper is still running";
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit) << "ended in order, not killed";
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(second.waitForExit(1500)) << "the newer helper must carry on";
    // Without a tray here, that is said once, and the helper works on.
    EXPECT_GE(helperLog().count(QLatin1String("No system tray is available")), 1);
}

TEST_F(HelperProcessTest, AMountedRamDiskIsNotCreatedAgain)
{
    QMRamDisk::Ptr r = atLogin(QStringLiteral("Already"), 128000000);
    QMEngineTest::RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    const QString device = r->deviceNode();
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, false));

    Helper helper(_installation, {}, _bus.environment());
    ASSERT_TRUE(helper.waitForExit(60000));
    EXPECT_TRUE(_installation.calls().filter(QStringLiteral("attach")).isEmpty()) << _installation.calls().join(u'\n').toStdString();
    const QList<QMRamDisk::Ptr> after = entries();
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.first()->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(after.first()->deviceNode(), device);
}

TEST_F(HelperProcessTest, ACrashLeavesAReportForQuilmoToOffer)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({}, false));
    const QDir crashes(QMCrashHandler::crashDirectory());
    const QStringList pattern{QStringLiteral("Quilmo-Helper-*") + QMCrashHandler::reportSuffix()};
    ASSERT_TRUE(crashes.entryList(pattern, QDir::Files).isEmpty());

    Helper helper(_installation, {QStringLiteral("FromApp")},
                  QMTest::withFatalSignalsLeftToTheProgram(_bus.environment()));
    ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("Helper started from the principal app")); },
                                  30000));
    const qint64 pid = helper.pid(); // QProcess forgets it once the process has ended
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGSEGV), 0);
    ASSERT_TRUE(helper.waitForExit(30000));
    EXPECT_EQ(helper.exitStatus(), QProcess::CrashExit) << "the signal still ends the helper";
    const QStringList reports = crashes.entryList(pattern, QDir::Files);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.first().endsWith(QStringLiteral("-%1%2").arg(pid).arg(QMCrashHandler::reportSuffix())))
        << reports.first().toStdString();
}

// Started for a RAM disk with a backup (by Quilmo or quilmoctl), without the tray menu: the
// helper stays while it is mounted, and quits by itself once it is ejected.
TEST_F(HelperProcessTest, WithoutAMenuItSavesAMountedRamDiskUntilItIsEjected)
{
    QMRamDisk::Ptr r = mounted(QStringLiteral("Kept"), QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, false));
    Helper helper(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil(
        [] { return helperLog().contains(QLatin1String("Saving the mounted RAM disks that have a backup")); }, 30000));
    EXPECT_FALSE(helperLog().contains(QLatin1String("Tray menu shown")));
    EXPECT_TRUE(helper.isRunning());

    // Ejected by another program: nothing is left to save.
    QMEngineTest::RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_notCreated);
    ASSERT_TRUE(helper.waitForExit(60000)) << "the helper stayed with nothing to do";
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_TRUE(helperLog().contains(QLatin1String("No mounted RAM disk left to save")));
}

// Quilmo's quit takes the tray menu away (it is not wanted at login) but not the saves; a
// stop of the helper then waits for the save it makes on its way out, held up here by
// another program's action on the RAM disk, beyond the three seconds a stop used to give.
TEST_F(HelperProcessTest, QuilmosQuitLeavesTheSavesRunningAndAStopWaitsForThem)
{
    QMRamDisk::Ptr r = mounted(QStringLiteral("Guarded"), QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    const QString quilmoName = QMRamDiskUtils::bundleIdentifier();
    {
        // Quilmo runs: it owns its name on the session bus.
        QDBusConnection quilmo = _bus.connection(QStringLiteral("quilmo-stand-in"));
        ASSERT_TRUE(quilmo.registerService(quilmoName));
        Helper helper(_installation, {QStringLiteral("FromApp")}, _bus.environment());
        ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("Tray menu shown")); }, 30000));
        ASSERT_TRUE(QMTest::waitUntil(
            [] { return helperLog().contains(QLatin1String("Saving the mounted RAM disks that have a backup")); }));

        // Quilmo quits.
        quilmo.unregisterService(quilmoName);
        ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("Tray menu removed: Quilmo quit")); },
                                      30000));
        EXPECT_TRUE(helper.isRunning()) << "Quilmo's quit ended the saves";

        // What is written now must reach the backup when the helper is stopped.
        ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/late.txt"), "written last"));
        QMError::Ptr error;
        std::unique_ptr<QMRamDiskActionLock> held =
            QMRamDiskActionLock::acquire(r->identifier(), QMRamDiskAction_backup, &error);
        ASSERT_TRUE(held) << (error ? error->description().toStdString() : "");
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            QMRamDiskUtils::setHelperIsRunning(false);
            stopped = true;
        });
        // The moment a stop used to force the helper has passed, and it still saves.
        QElapsedTimer since;
        since.start();
        QMTest::waitUntil([&] { return since.elapsed() > 4000 || !helper.isRunning(); }, 10000);
        EXPECT_TRUE(helper.isRunning()) << "the stop did not wait for the save";
        EXPECT_FALSE(stopped);
        held.reset();
        const bool ended = QMTest::waitUntil([&] { return bool(stopped); }, 90000);
        stopper.join();
        ASSERT_TRUE(ended);
        ASSERT_TRUE(helper.waitForExit(30000));
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << "forced";
        EXPECT_EQ(helper.exitCode(), 0);
    }
    EXPECT_EQ(QMEngineTest::readFile(r->backupDirPath() + QStringLiteral("/late.txt")), QByteArray("written last"));
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted) << "quitting never ejects";
}

namespace {

// The stand-in for logind on the helpers' bus, for a helper started with
// QUILMO_TEST_LOGIND_BUS=session.
class HelperWithLogindTest : public HelperProcessTest
{
protected:
    void SetUp() override
    {
        HelperProcessTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            _onBus.start(_bus.connection(QStringLiteral("logind-stand-in")));
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = _bus.environment();
        env.insert(QStringLiteral("QUILMO_TEST_LOGIND_BUS"), QStringLiteral("session"));
        return env;
    }
    // Until the helper ended, this process serving logind meanwhile.
    static bool waitForExitServing(const Helper &helper, int ms)
    {
        return QMTest::waitUntil([&] { return !helper.isRunning(); }, ms);
    }

    LogindOnBus _onBus;
    LogindStandIn &logind() { return _onBus.logind; }
};

} // namespace

// Session 1 saves a RAM disk before the shutdown; session 2 logs in while the disk that
// holds its backup is not there. The RAM disk is not created empty (it would be saved over
// the backup): the user is told once, and it is created, with its files, when the disk is
// mounted again.
TEST_F(HelperWithLogindTest, ALoginWithoutTheBackupDiskWaitsForItAndNeverSavesOverIt)
{
    QMEngineTest::LoopFileSystem usb(_sandbox.path() + QStringLiteral("/usb.img"), _sandbox.path() + QStringLiteral("/usb"),
                                     64, {}, false);
    ASSERT_TRUE(usb.isValid());
    QMRamDisk::Ptr r = atLogin(QStringLiteral("Work"), 128000000);
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(_sandbox.path() + QStringLiteral("/usb/backups"));
    r->setAutoSaveInterval(300);
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, false));
    const auto mounted = [&] {
        const QList<QMRamDisk::Ptr> now = entries();
        return now.size() == 1 && now.first()->status() == QMRamDiskStatus_mounted ? now.first() : QMRamDisk::Ptr();
    };
    const QString told = QStringLiteral("Told the user: \"Work\" waits for its backup");

    QMRamDisk::Ptr session1;
    {
        Helper helper(_installation, {}, environment());
        ASSERT_TRUE(QMTest::waitUntil([&] { return (session1 = mounted()) != nullptr; }, 60000));
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(QMEngineTest::writeFile(session1->path() + QStringLiteral("/file%1").arg(i), "work"));
        ASSERT_TRUE(QMTest::waitUntil([&] { return !logind().locks.isEmpty(); }, 30000)) << "no delay lock taken";
        emit logind().PrepareForShutdown(true);
        ASSERT_TRUE(QMTest::waitUntil([&] { return logind().isClosed(0); }, 120000)) << "the lock was never let go";
        EXPECT_GT(entries().first()->lastSaveDate(), 0) << "the save before the shutdown is not in the entries file";
        EXPECT_EQ(QDir(session1->backupDirPath()).entryList(QDir::Files).size(), 20);
        helper.terminate();
        ASSERT_TRUE(waitForExitServing(helper, 60000));
    }
    // The machine went down: the RAM disk is gone, and the disk of its backup is unplugged.
    ASSERT_EQ(QMEngineTest::runTool(QStringLiteral("umount"), {QStringLiteral("-f"), session1->path()}), 0);
    ASSERT_EQ(QMEngineTest::runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), session1->deviceNode()}), 0);
    ASSERT_TRUE(usb.unmount());

    Helper helper(_installation, {}, environment());
    ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("Waiting for the backup of")); }, 60000));
    EXPECT_EQ(entries().first()->status(), QMRamDiskStatus_notCreated);
    EXPECT_TRUE(helper.isRunning()) << "the helper quit while a RAM disk waits for its backup";
    EXPECT_EQ(helperLog().count(told), 1);

    ASSERT_TRUE(usb.mount());
    QMRamDisk::Ptr session2;
    ASSERT_TRUE(QMTest::waitUntil([&] { return (session2 = mounted()) != nullptr; }, 60000))
        << "not created when the disk came back";
    EXPECT_EQ(QDir(session2->path()).entryList(QDir::Files).size(), 20);
    EXPECT_EQ(QDir(session2->backupDirPath()).entryList(QDir::Files).size(), 20);
    EXPECT_EQ(helperLog().count(told), 1) << "told again";
    helper.terminate();
    ASSERT_TRUE(waitForExitServing(helper, 60000));
    EXPECT_EQ(QDir(session2->backupDirPath()).entryList(QDir::Files).size(), 20);
}

// The machine goes down while the helper saves ahead of it (killed half way, as at the end
// of logind's delay): the last complete copy stays as it was, and the next start of the
// helper tells the user what that copy holds and that the newest changes were not saved.
TEST_F(HelperWithLogindTest, AShutdownForcedDuringASaveAheadKeepsTheLastCopyAndTellsTheNextStart)
{
    logind().delayMaxUSec = 2000000;
    const QMRamDisk::Ptr r = QMHelperTest::mountedAndSavedOnce(_sandbox, QStringLiteral("Forced"));
    ASSERT_TRUE(r);
    const double lastSave = r->lastSaveDate();
    ASSERT_GT(QMHelperTest::fillUntilSaveTakes(r, 2.5), 0);
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, false));
    const QString partial = r->backupDirPath() + QStringLiteral(".partial");
    {
        Helper helper(_installation, {QStringLiteral("FromApp")}, environment());
        ASSERT_TRUE(QMTest::waitUntil([&] { return !logind().openBlockLocks().isEmpty(); }, 60000)) << "no save ahead";
        ASSERT_TRUE(QMTest::waitUntil([&] { return QMHelperTest::countFiles(partial) > 0; }, 60000));
        ASSERT_EQ(::kill(pid_t(helper.pid()), SIGKILL), 0);
        ASSERT_TRUE(waitForExitServing(helper, 30000));
    }
    EXPECT_TRUE(logind().openBlockLocks().isEmpty());
    EXPECT_EQ(QMHelperTest::countFiles(r->backupDirPath()), 2000) << "the last complete copy changed";
    EXPECT_FALSE(QFileInfo::exists(r->backupDirPath() + QStringLiteral("/pending")));
    ASSERT_EQ(entries().size(), 1);
    EXPECT_EQ(entries().first()->lastSaveDate(), lastSave);

    // The next start: told what the copy holds, and it saves again.
    const QString when =
        QDateTime::fromMSecsSinceEpoch(qint64(lastSave * 1000)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString told = QStringLiteral("Told the user: Quilmo could not save a RAM disk before the computer went down: "
                                        "The save of \"Forced\" did not end: the computer went down, or Quilmo-Helper "
                                        "was stopped, while it ran, so the changes made to \"Forced\" after %1 were not "
                                        "saved. Its last complete copy, in %2, holds what it held on %1.")
                             .arg(when, r->backupDirPath());
    Helper helper(_installation, {QStringLiteral("FromApp")}, environment());
    EXPECT_TRUE(QMTest::waitUntil([&] { return helperLog().contains(told); }, 30000)) << helperLog().toStdString();
    ASSERT_TRUE(QMTest::waitUntil([&] { return entries().first()->lastSaveDate() > lastSave; }, 180000));
    helper.terminate();
    ASSERT_TRUE(waitForExitServing(helper, 60000));
    EXPECT_EQ(helperLog().count(QStringLiteral("Told the user: Quilmo could not save")), 1) << "told twice";
}
