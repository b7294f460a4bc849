// The main window on real RAM disks: created from the list's context menu, shown with its
// progress and then its usage pie, ejected; removed by the rules for what it holds.
#include "AppDeviceTestSupport.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskTestSupport.h"
#include "QMRamDiskUtils.h"
#include "QMTestSupport.h"
#include "RamDiskConfigCell.h"
#include "RamDiskConfigController.h"
#include "RamDiskConfigPresentation.h"
#include "RamDiskListModel.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <functional>

using namespace QMAppTest;

namespace {

QAction *actionTitled(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions())
        if (a->text() == title)
            return a;
    return nullptr;
}

// Writes one RAM disk of the smallest size, mounted in `mountDirectory`, into the entries
// file; `more` sets what else it has.
QString writeRamDisk(const QString &mountDirectory, const QString &name,
                     const std::function<void(const QMRamDisk::Ptr &)> &more = {})
{
    QMRamDiskEntries store;
    QMRamDisk::Ptr r = store.addRamDisk();
    r->setName(name);
    r->setSize(128000000ULL);
    r->setMountDirectory(mountDirectory);
    if (more)
        more(r);
    store.writeRamDisksToDefaultLocation();
    return r->identifier();
}

QAction *contextMenuItem(RamDiskConfigController *controller, int row, const QString &title)
{
    QTableView *table = controller->tableView();
    emit table->customContextMenuRequested(table->visualRect(controller->listModel()->index(row)).center());
    QAction *action = actionTitled(controller->tableMenu(), title);
    controller->tableMenu()->hide();
    return action;
}

} // namespace

using ConfigControllerDeviceTest = AppDeviceTest;

TEST_F(ConfigControllerDeviceTest, CreatedFromTheMenuShowsProgressThenItsUsageAndEjects)
{
    const QString mountDirectory = sandbox.mkdir(QStringLiteral("mnt"));
    writeRamDisk(mountDirectory, QStringLiteral("WindowTest"));
    AlertAnswers alerts(QStringLiteral("OK"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QMRamDisk::Ptr r = store->ramDisks().first();
    sandbox.watch(r);
    RamDiskListModel *model = w.controller->listModel();

    // Every text the row shows while the action runs.
    QStringList shown;
    QObject::connect(model, &QAbstractItemModel::dataChanged, [&](const QModelIndex &index) {
        shown << index.data(RamDiskConfigCell::SubInfoRole).toString();
    });
    // The outcome reaches the window after every report before it, and after the window's
    // own handling of it (queued to the same thread, in order).
    int outcomes = 0;
    QObject::connect(store, &QMRamDiskEntries::ramDiskReported, w.window, [&](const QMRamDiskReport &report) {
        if (report.isFinal())
            ++outcomes;
    });

    QAction *create = contextMenuItem(w.controller, 0, QStringLiteral("Create"));
    ASSERT_TRUE(create);
    ASSERT_TRUE(create->isEnabled());
    QStringList errors;
    {
        QuietLog log;
        create->trigger();
        ASSERT_TRUE(QMTest::waitUntil([&] { return outcomes == 1; }, 120000)) << alerts.asked().join(u',').toStdString();
        errors = log.lines.filter(QStringLiteral("ERROR"));
    }
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_TRUE(alerts.asked().isEmpty()) << alerts.asked().join(u',').toStdString();
    EXPECT_TRUE(errors.isEmpty()) << "nothing failed: " << errors.join(u'\n').toStdString();

    // Each step's own progress text reached the row, then the size.
    EXPECT_TRUE(shown.contains(QMRamDiskManager::displayStringFromAction(1, QMRamDiskActionInfo_creatingNewFileSystem)))
        << shown.join(u'|').toStdString();
    EXPECT_TRUE(shown.contains(QMRamDiskManager::displayStringFromAction(1, QMRamDiskActionInfo_creatingMoutingVolume)))
        << shown.join(u'|').toStdString();
    const QModelIndex row = model->index(0);
    EXPECT_EQ(row.data(RamDiskConfigCell::SubInfoRole).toString(),
              RamDiskConfigPresentation::row(r).subInfo);
    EXPECT_EQ(row.data(RamDiskConfigCell::ImageOpacityRole).toDouble(), 1.0);
    EXPECT_GE(row.data(RamDiskConfigCell::UsageRole).toDouble(), 0.0) << "the pie shows";
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(r->path()), QMMountStateMounted);
    // The end of the action was saved at once.
    EXPECT_EQ(readStore()->ramDisks().first()->status(), QMRamDiskStatus_mounted);

    // Files written make the pie grow at the next refresh.
    const double before = row.data(RamDiskConfigCell::UsageRole).toDouble();
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/fill"), QByteArray(40 * 1000 * 1000, 'x')));
    EXPECT_TRUE(QMTest::waitUntil([&] { return model->index(0).data(RamDiskConfigCell::UsageRole).toDouble() > before + 0.2; },
                                  10000));

    QAction *eject = contextMenuItem(w.controller, 0, QStringLiteral("Eject"));
    ASSERT_TRUE(eject);
    eject->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return outcomes == 2; }, 60000));
    ASSERT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_EQ(model->index(0).data(RamDiskConfigCell::UsageRole).toDouble(), -1.0);
    EXPECT_DOUBLE_EQ(model->index(0).data(RamDiskConfigCell::ImageOpacityRole).toDouble(), 0.33);
}

// Mounted with a backup, a RAM disk is saved by Quilmo-Helper for the rest of the session:
// the window starts one (a stand-in here), and neither the tray switch nor Quilmo's quit
// ends it while the RAM disk is mounted; once it is ejected, the quit does.
TEST_F(ConfigControllerDeviceTest, AMountedRamDiskWithABackupKeepsAHelperThroughTheTraySwitchAndTheQuit)
{
    {
        QMRamDiskEntries file;
        QMRamDisk::Ptr r = file.addRamDisk();
        r->setName(QStringLiteral("Guarded"));
        r->setSize(128000000ULL);
        r->setMountDirectory(sandbox.mkdir(QStringLiteral("mnt")));
        r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
        ASSERT_TRUE(file.writeRamDisksToDefaultLocation());
    }
    AlertAnswers alerts(QStringLiteral("OK"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QMRamDisk::Ptr r = store->ramDisks().first();
    sandbox.watch(r);
    ASSERT_FALSE(QMRamDiskUtils::helperIsRunning());

    store->create(r, true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return QMRamDiskUtils::helperIsRunning(); }, 120000))
        << "no helper was started for the mounted RAM disk";
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);

    w.controller->setHelperIsRunning(true);
    w.controller->setHelperIsRunning(false);
    EXPECT_TRUE(QMRamDiskUtils::helperIsRunning()) << "hiding the tray menu ended the saves";
    w.controller->applicationWillTerminate();
    EXPECT_TRUE(QMRamDiskUtils::helperIsRunning()) << "Quilmo's quit ended the saves";

    store->eject(r, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_notCreated);
    w.controller->applicationWillTerminate();
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning()) << "a helper with nothing to do outlived Quilmo";
}

TEST_F(ConfigControllerDeviceTest, RemovingAMountedEmptyRamDiskEjectsItWithoutAQuestion)
{
    writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("EmptyOne"));
    AlertAnswers alerts(QStringLiteral("Cancel"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    const QMRamDisk::Ptr r = createFirst(w);
    ASSERT_TRUE(r);
    const QString mountPoint = r->path();
    ASSERT_EQ(r->hasContents(), 0);

    w.controller->setSelectedRamDisk(r);
    w.controller->plusMoinSegAction(1);
    EXPECT_TRUE(alerts.asked().isEmpty());
    ASSERT_TRUE(QMTest::waitUntil([&] { return store->count() == 0; }, 60000));
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_TRUE(!QFileInfo::exists(mountPoint)
                || QMRamDiskDevice::hasMountedVolumeAtPath(mountPoint) != QMMountStateMounted);
    EXPECT_TRUE(QMTest::waitUntil([] { return readStore()->count() == 0; }));
}

TEST_F(ConfigControllerDeviceTest, RemovingARamDiskWithFilesAsksAndCancelChangesNothing)
{
    writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("FullOne"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    const QMRamDisk::Ptr r = createFirst(w);
    ASSERT_TRUE(r);
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/notes.txt"), "keep me"));
    w.controller->setSelectedRamDisk(r);

    {
        AlertAnswers alerts(QStringLiteral("Cancel"));
        w.controller->plusMoinSegAction(1);
        ASSERT_TRUE(QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); }, 2000));
        // The answer's completion is a posted call: through once the posted events are.
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("RemoveRamDiskAlert")});
    }
    EXPECT_EQ(store->count(), 1);
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(QMEngineTest::readFile(r->path() + QStringLiteral("/notes.txt")), QByteArray("keep me"));

    {
        AlertAnswers alerts(QStringLiteral("Eject and Remove"));
        w.controller->plusMoinSegAction(1);
        EXPECT_TRUE(QMTest::waitUntil([&] { return store->count() == 0; }, 60000));
    }
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
}

TEST_F(ConfigControllerDeviceTest, TheToolbarCommandMountsAndEjectsTheSelectedRamDisk)
{
    writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Toolbar"));
    AlertAnswers alerts(QStringLiteral("OK"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QMRamDisk::Ptr r = store->ramDisks().first();
    sandbox.watch(r);
    w.controller->setSelectedRamDisk(r);
    QAction *command = w.controller->ramDiskCommandAction();
    ASSERT_EQ(command->text(), QStringLiteral("Create"));
    ASSERT_TRUE(command->isEnabled());
    command->trigger();
    EXPECT_FALSE(command->isEnabled()) << "disabled while the action runs";
    ASSERT_TRUE(QMTest::waitUntil([&] { return r->action() == 0 && r->status() == QMRamDiskStatus_mounted; }, 120000));
    EXPECT_TRUE(QMTest::waitUntil([&] { return command->text() == QStringLiteral("Eject") && command->isEnabled(); }));
    command->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return r->action() == 0 && r->status() == QMRamDiskStatus_notCreated; }, 60000));
    EXPECT_TRUE(QMTest::waitUntil([&] { return command->text() == QStringLiteral("Create"); }));
    EXPECT_TRUE(alerts.asked().isEmpty());
}

TEST_F(ConfigControllerDeviceTest, RemovalSavesTheRamDiskOnAWorkerWhileTheWindowAnswersAndTrashesItsBackup)
{
    const QString identifier =
        writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Saved"), [](const QMRamDisk::Ptr &r) {
            r->setSize(384000000ULL);
            r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
        });
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    const QMRamDisk::Ptr r = createFirst(w);
    ASSERT_TRUE(r);
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/big"), QByteArray(200 * 1000 * 1000, 'b')));
    w.controller->setSelectedRamDisk(r);

    // The window goes on answering while the RAM disk is saved and ejected.
    int busyTicks = 0;
    QStringList shown;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (r->action() == QMRamDiskAction_none)
            return;
        ++busyTicks;
        const QString text = w.controller->listModel()->index(0).data(RamDiskConfigCell::SubInfoRole).toString();
        if (!shown.contains(text))
            shown << text;
    });
    ticker.start(10);
    AlertAnswers alerts(QStringLiteral("Eject and Remove"));
    w.controller->plusMoinSegAction(1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return store->count() == 0; }, 120000)) << alerts.asked().join(u',').toStdString();
    ticker.stop();
    ASSERT_EQ(alerts.asked(), QStringList{QStringLiteral("RemoveRamDiskAlert")});
    EXPECT_EQ(alerts.requests().first().informativeText,
              QStringLiteral("Its files are saved to its backup in Quilmo's folder first; the backup (empty now) then "
                             "goes to the trash. This cannot be undone."));
    EXPECT_GT(busyTicks, 5) << "the timer fired while the RAM disk was saved";
    EXPECT_TRUE(shown.contains(QMRamDiskManager::displayStringFromAction(QMRamDiskAction_backup,
                                                                         QMRamDiskActionInfo_backuping)))
        << shown.join(u'|').toStdString();
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);

    // Saved before the eject, then to the trash with the entry.
    const QString trashed = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/files/") + identifier
                            + QStringLiteral(".QuilmoBackup/big");
    EXPECT_EQ(QFileInfo(trashed).size(), 200 * 1000 * 1000);
    EXPECT_FALSE(QFileInfo::exists(QMRamDiskManager::appSupportPath() + QLatin1Char('/') + identifier
                                   + QStringLiteral(".QuilmoBackup")));
    EXPECT_TRUE(QMTest::waitUntil([] { return readStore()->count() == 0; }));
}

TEST_F(ConfigControllerDeviceTest, ACreateStartedByAnotherProgramShowsItsProgressInTheWindow)
{
    const QString marker = sandbox.path() + QStringLiteral("/go-on");
    const QString post = QMTest::writeScript(
        sandbox.path(), QStringLiteral("wait.sh"),
        QStringLiteral("for i in $(seq 1200); do [ -e '%1' ] && exit 0; sleep 0.05; done\nexit 1\n").arg(marker));
    writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Elsewhere"),
                 [&](const QMRamDisk::Ptr &r) { r->setPostCmd(post); });
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QMRamDisk::Ptr r = store->ramDisks().first();
    sandbox.watch(r);
    w.controller->setSelectedRamDisk(r);

    QProcess ctl;
    ctl.start(QStringLiteral(QUILMOCTL_BIN), {QStringLiteral("create"), QStringLiteral("Elsewhere")});
    ASSERT_TRUE(ctl.waitForStarted());
    const QString step =
        QMRamDiskManager::displayStringFromAction(QMRamDiskAction_create, QMRamDiskActionInfo_creatingExecutingPostCommand);
    const QModelIndex row = w.controller->listModel()->index(0);
    EXPECT_TRUE(QMTest::waitUntil([&] { return row.data(RamDiskConfigCell::SubInfoRole).toString() == step; }, 60000))
        << row.data(RamDiskConfigCell::SubInfoRole).toString().toStdString();
    auto *button = w.controller->findChild<QPushButton *>(QStringLiteral("rdCreateButton"));
    auto *progress = w.controller->findChild<QLabel *>(QStringLiteral("rdCreatePIndicatorLabel"));
    EXPECT_EQ(progress->text(), step);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(r->action(), QMRamDiskAction_none) << "not an action of this window";

    QFile(marker).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QMTest::waitUntil([&] { return ctl.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    // Its announcement, or the next refresh: mounted, and the row shows the RAM disk again.
    ASSERT_TRUE(QMTest::waitUntil([&] {
        return r->status() == QMRamDiskStatus_mounted
               && row.data(RamDiskConfigCell::SubInfoRole).toString() == RamDiskConfigPresentation::row(r).subInfo;
    }));
    EXPECT_TRUE(QMTest::waitUntil([&] { return button->text() == QStringLiteral("Eject") && button->isEnabled(); }));
}


// A RAM disk whose restore was incomplete: backing it up from the window asks first, and
// only the user's yes replaces the complete copy.
TEST_F(ConfigControllerDeviceTest, BackingUpIncompleteContentsAsksBeforeReplacingTheCompleteCopy)
{
    writeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Partial"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QMRamDisk::Ptr r = store->ramDisks().first();
    sandbox.watch(r);
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    store->create(r, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    r->setContentsIncomplete(true);
    ASSERT_TRUE(QMEngineTest::writeFile(r->path() + QStringLiteral("/later.txt"), "not in the complete copy"));
    const QString copied = r->backupDirPath() + QStringLiteral("/later.txt");

    {
        AlertAnswers alerts(QStringLiteral("Cancel"));
        QAction *backup = contextMenuItem(w.controller, 0, QStringLiteral("Backup Now"));
        ASSERT_TRUE(backup);
        backup->trigger();
        ASSERT_TRUE(QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); }, 10000));
        EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("BackupIncompleteAlert")});
    }
    EXPECT_EQ(r->action(), QMRamDiskAction_none);
    EXPECT_FALSE(QFileInfo::exists(copied));
    EXPECT_TRUE(r->contentsIncomplete());

    {
        AlertAnswers alerts(QStringLiteral("Back Up Anyway"));
        contextMenuItem(w.controller, 0, QStringLiteral("Backup Now"))->trigger();
        ASSERT_TRUE(QMTest::waitUntil([&] { return QFileInfo::exists(copied) && r->action() == 0; }, 60000));
        EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("BackupIncompleteAlert")});
    }
    EXPECT_FALSE(r->lastError());
    EXPECT_FALSE(r->contentsIncomplete());
    EXPECT_FALSE(r->replacesIncompleteCopy()) << "the answer holds for one backup only";
    store->eject(r, false);
}
