// The status menu over real, mounted RAM disks: what it offers, what a running application
// forbids, which names it hides, and the warning when a RAM disk fills up.
// Mouse events go through the window system, to the widget under the pointer.
#define QTEST_QPA_MOUSE_HANDLING
#include "QMAlert.h"
#include "QMHelperTestSupport.h"
#include "QMNSMenuRepresentedObject.h"
#include "QMOwnAnnouncements.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"
#include "RamDiskMenuItemView.h"
#include "StatusMenuController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QWidgetAction>
#include <QDir>
#include <QLabel>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>
#include <sys/statvfs.h>

using QMHelperTest::item;
using QMHelperTest::itemNames;
using QMHelperTest::openAndClose;

namespace {

class HelperRamDiskTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
        ASSERT_TRUE(_sandbox.isValid());
    }

    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode = 0)
    {
        return QMHelperTest::mounted(_sandbox, name, backupMode);
    }

    QMenu *submenuOf(StatusMenuController &controller, const QMRamDisk::Ptr &r)
    {
        QAction *row = item(controller.rootMenu(), r->identifier());
        EXPECT_NE(row, nullptr);
        if (!row)
            return nullptr;
        openAndClose(row->menu());
        return row->menu();
    }

    QMEngineTest::RamDiskSandbox _sandbox;
};

// A process of this user whose program is named like the browser's.
class FakeBrowser
{
public:
    explicit FakeBrowser(const QString &dir)
    {
        const QString program = dir + QStringLiteral("/firefox");
        QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), program);
        QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
        _process.start(program, {QStringLiteral("600")});
        _process.waitForStarted();
    }
    ~FakeBrowser()
    {
        _process.kill();
        _process.waitForFinished();
    }

private:
    QProcess _process;
};

} // namespace

TEST_F(HelperRamDiskTest, AllDiskActionsFollowMountedAndBusyRamDisks)
{
    const QMRamDisk::Ptr plain = mounted(QStringLiteral("Plain"));
    const QMRamDisk::Ptr kept = mounted(QStringLiteral("Kept"), 1);
    ASSERT_TRUE(QMHelperTest::writeEntries({plain, kept}, true));
    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    QStringList names = itemNames(controller.rootMenu());
    EXPECT_TRUE(names.contains(QStringLiteral("!Create All"))) << names.join(u' ').toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("Eject All")));
    EXPECT_TRUE(names.contains(QStringLiteral("Backup All")));
    EXPECT_FALSE(names.contains(QStringLiteral("Synchronise All")));

    // Busy, the backed-up RAM disk is no candidate any more and its row is disabled.
    const QMRamDisk::Ptr ours = controller.ramDiskEntries()->ramDiskWithIdentifier(kept->identifier());
    ASSERT_NE(ours, nullptr);
    ours->setAction(QMRamDiskAction_backup);
    openAndClose(controller.rootMenu());
    names = itemNames(controller.rootMenu());
    EXPECT_FALSE(names.contains(QStringLiteral("Backup All")));
    EXPECT_TRUE(names.contains(QStringLiteral("!") + kept->identifier()));
    EXPECT_TRUE(names.contains(plain->identifier()));
    ours->setAction(QMRamDiskAction_none);
}

TEST_F(HelperRamDiskTest, SimulatorRamDiskSynchronisesAndOffersNoDeleteAllFiles)
{
    const QMRamDisk::Ptr volume = mounted(QStringLiteral("Simulator"));
    const QMRamDisk::Ptr simulator = QMHelperTest::withType(volume, QMRamDiskType_CoreSimulator);
    simulator->setBackupMode(1);
    ASSERT_TRUE(QMHelperTest::writeEntries({simulator}, true));
    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    const QStringList root = itemNames(controller.rootMenu());
    EXPECT_TRUE(root.contains(QStringLiteral("Synchronise All")));
    EXPECT_FALSE(root.contains(QStringLiteral("Backup All")));

    QMenu *submenu = submenuOf(controller, simulator);
    ASSERT_NE(submenu, nullptr);
    const QStringList names = itemNames(submenu);
    EXPECT_EQ(names.mid(0, 5), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Synchronise Now"}));
    EXPECT_FALSE(names.contains(QStringLiteral("Delete All Files")));
    EXPECT_EQ(item(submenu, QStringLiteral("Synchronise Now"))->property("tag").toLongLong(), 2);
}

TEST_F(HelperRamDiskTest, RunningBrowserDisablesItsRamDiskActionsWithItsName)
{
    const QMRamDisk::Ptr volume = mounted(QStringLiteral("firefox"));
    const QMRamDisk::Ptr browser = QMHelperTest::withType(volume, QMRamDiskType_Firefox);
    ASSERT_TRUE(QMHelperTest::writeEntries({browser}, true));
    FakeBrowser running(_sandbox.mkdir(QStringLiteral("bin")));
    QString message;
    ASSERT_TRUE(QMTest::waitUntil([&] { return QMRamDiskManager::hasRunningAppForType(QMRamDiskType_Firefox, &message); }));
    EXPECT_TRUE(message.endsWith(QLatin1String(" is running"))) << message.toStdString();

    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    QMenu *submenu = submenuOf(controller, browser);
    ASSERT_NE(submenu, nullptr);
    for (const char *name : {"Eject", "Rebuild", "Delete All Files"}) {
        QAction *a = item(submenu, QString::fromLatin1(name));
        ASSERT_NE(a, nullptr) << name;
        EXPECT_FALSE(a->isEnabled()) << name;
        EXPECT_EQ(a->toolTip(), message) << name;
    }
    // Eject All leaves it alone too.
    EXPECT_TRUE(QMStatusMenuItems::targetsOfAllAction(2, controller.ramDiskEntries()->ramDisks()).isEmpty());

    // Unmounted behind our back: the device stays, and "Mount" is what is refused.
    ASSERT_EQ(QMEngineTest::runTool(QStringLiteral("umount"), {QStringLiteral("-f"), volume->path()}), 0);
    volume->setStatus(QMRamDiskStatus_created); // the sandbox detaches the device
    openAndClose(controller.rootMenu());
    submenu = submenuOf(controller, browser);
    ASSERT_NE(submenu, nullptr);
    EXPECT_EQ(itemNames(submenu), QStringList{"!Mount"});
    EXPECT_EQ(item(submenu, QStringLiteral("Mount"))->toolTip(), message);
}

TEST_F(HelperRamDiskTest, VolumeNamesAreHiddenAtTheRootOnly)
{
    const QMRamDisk::Ptr r = mounted(QStringLiteral("Browse"));
    const QString root = r->path();
    for (const char *dir : {"/.Trashes", "/tmp", "/sub/.Trashes", "/sub/tmp"})
        ASSERT_TRUE(QDir().mkpath(root + QLatin1String(dir)));
    QFile visible(root + QStringLiteral("/visible.txt"));
    ASSERT_TRUE(visible.open(QIODevice::WriteOnly));
    visible.close();
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));

    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    QMenu *submenu = submenuOf(controller, r);
    ASSERT_NE(submenu, nullptr);
    const QStringList names = itemNames(submenu);
    EXPECT_TRUE(names.contains(root + QStringLiteral("/visible.txt"))) << names.join(u' ').toStdString();
    EXPECT_TRUE(names.contains(root + QStringLiteral("/sub")));
    EXPECT_FALSE(names.contains(root + QStringLiteral("/.Trashes")));
    EXPECT_FALSE(names.contains(root + QStringLiteral("/tmp")));

    QMenu *sub = item(submenu, root + QStringLiteral("/sub"))->menu();
    ASSERT_NE(sub, nullptr);
    openAndClose(sub);
    const QStringList inSub = itemNames(sub);
    EXPECT_TRUE(inSub.contains(root + QStringLiteral("/sub/.Trashes")));
    EXPECT_TRUE(inSub.contains(root + QStringLiteral("/sub/tmp")));
}

TEST_F(HelperRamDiskTest, FillingARamDiskPastEightyPercentTurnsTheIconRed)
{
    const QMRamDisk::Ptr r = mounted(QStringLiteral("Fill"));
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    StatusMenuController controller;
    EXPECT_FALSE(controller.statusItemView()->isWarn());

    struct statvfs sv {};
    ASSERT_EQ(statvfs(QFile::encodeName(r->path()).constData(), &sv), 0);
    const quint64 size = quint64(sv.f_blocks) * sv.f_frsize;
    const quint64 used = size - quint64(sv.f_bavail) * sv.f_frsize;
    const quint64 toWrite = quint64(size * 0.86) - used;
    QFile big(r->path() + QStringLiteral("/big"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    QByteArray chunk(1 << 20, '\0');
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7 + 3);
    for (quint64 written = 0; written < toWrite; written += chunk.size())
        ASSERT_EQ(big.write(chunk.constData(), qint64(std::min<quint64>(chunk.size(), toWrite - written))),
                  qint64(std::min<quint64>(chunk.size(), toWrite - written)));
    big.close();
    ::sync();

    // The one-second refresh sees the new usage and turns the icon.
    EXPECT_TRUE(QMTest::waitUntil([&] { return controller.statusItemView()->isWarn(); }, 10000));
    const QImage icon = controller.statusItemView()->renderImage(QSize(22, 22), 1.0);
    bool red = false;
    for (int y = 0; y < 22 && !red; ++y)
        for (int x = 0; x < 22 && !red; ++x)
            red = icon.pixelColor(x, y) == QColor(255, 0, 0);
    EXPECT_TRUE(red);

    ASSERT_TRUE(QFile::remove(r->path() + QStringLiteral("/big")));
    ::sync();
    EXPECT_TRUE(QMTest::waitUntil([&] { return !controller.statusItemView()->isWarn(); }, 10000));
}

TEST_F(HelperRamDiskTest, DeleteAllFilesAsksFirstThenEmptiesTheVolume)
{
    const QMRamDisk::Ptr r = mounted(QStringLiteral("Wipe"));
    QFile file(r->path() + QStringLiteral("/file"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(QDir().mkpath(r->path() + QStringLiteral("/folder/inner")));
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    QMenu *submenu = submenuOf(controller, r);
    ASSERT_NE(submenu, nullptr);
    QAction *deleteAll = item(submenu, QStringLiteral("Delete All Files"));
    ASSERT_NE(deleteAll, nullptr);

    QStringList asked;
    const QMAlert::Hook previous = QMAlert::setHook([&](const QMAlertRequest &request) {
        asked << request.objectName;
        return 0; // Cancel
    });
    deleteAll->trigger();
    EXPECT_EQ(asked, QStringList{"QMCleanUpAlert"});
    EXPECT_TRUE(QFile::exists(r->path() + QStringLiteral("/file")));

    QMAlert::setHook([](const QMAlertRequest &) { return 1; });
    deleteAll->trigger();
    EXPECT_TRUE(QMTest::waitUntil([&] { return !QFile::exists(r->path() + QStringLiteral("/folder")); }));
    EXPECT_FALSE(QFile::exists(r->path() + QStringLiteral("/file")));
    EXPECT_TRUE(QFileInfo(r->path()).isDir()) << "the volume itself stays";
    QMAlert::setHook(previous);
}

TEST_F(HelperRamDiskTest, ItsFolderOpensFromItsMenuAndEjectFromItIsRecorded)
{
    const QMRamDisk::Ptr r = mounted(QStringLiteral("Eject"));
    const QString path = r->path();
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    StatusMenuController controller;
    QMHelperTest::UrlCatcher catcher;

    // A click on the row opens its submenu, where its folder is the first item.
    QMenu *root = controller.rootMenu();
    root->popup(QPoint(10, 10));
    ASSERT_TRUE(QMTest::waitUntil([&] { return root->isVisible(); }));
    QAction *row = item(root, r->identifier());
    ASSERT_NE(row, nullptr);
    QTest::mouseClick(root, Qt::LeftButton, Qt::NoModifier, root->actionGeometry(row).center());
    ASSERT_TRUE(QMTest::waitUntil([&] { return row->menu()->isVisible(); }, 5000));
    EXPECT_TRUE(catcher.opened.isEmpty());
    QMenu *submenu = row->menu();
    QAction *open = item(submenu, QStringLiteral("Open in File Manager"));
    ASSERT_NE(open, nullptr);
    QTest::mouseClick(submenu, Qt::LeftButton, Qt::NoModifier, submenu->actionGeometry(open).center());
    EXPECT_TRUE(QMTest::waitUntil([&] { return !root->isVisible(); })) << "choosing an item closes the menu";
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.first().toLocalFile(), path);

    QMTest::OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());
    submenu = submenuOf(controller, r);
    ASSERT_NE(submenu, nullptr);
    item(submenu, QStringLiteral("Eject"))->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return heard.senders().contains(QStringLiteral("Quilmo-Helper")); }, 60000));
    EXPECT_FALSE(QFileInfo::exists(path)) << "a plain RAM disk's mount point goes with it";
    QMRamDiskEntries written;
    ASSERT_TRUE(written.readRamDisksFromDefaultLocation());
    ASSERT_EQ(written.count(), 1);
    EXPECT_EQ(written.ramDisks().first()->status(), QMRamDiskStatus_notCreated);
    r->setStatus(QMRamDiskStatus_notCreated);
}

// A RAM disk that becomes busy while the menu is open (a save of the schedule, an action of
// Quilmo's): its row shows it at once, and its submenu opens with the mouse, says what runs
// and raises no alert; when the action ends, both show the RAM disk as it is then.
TEST_F(HelperRamDiskTest, ARowThatBecomesBusyWhileTheMenuIsOpenShowsItAndOpensWithoutAlert)
{
    // A creation that its post-command holds until the test lets it go.
    const QString gate = _sandbox.path() + QStringLiteral("/gate");
    ASSERT_EQ(::mkfifo(QFile::encodeName(gate).constData(), 0600), 0);
    QMRamDisk::Ptr r = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Held"));
    r->setPostCmd(QMTest::writeScript(_sandbox.path(), QStringLiteral("post.sh"),
                                      QStringLiteral("read line < '%1'\n").arg(gate)));
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    StatusMenuController controller;
    QMEngineTest::LogCapture log;
    QMenu *root = controller.rootMenu();
    root->popup(QPoint(10, 10));
    ASSERT_TRUE(QMTest::waitUntil([&] { return root->isVisible(); }));
    auto *row = qobject_cast<QWidgetAction *>(item(root, r->identifier()));
    ASSERT_NE(row, nullptr);
    auto *view = qobject_cast<RamDiskMenuItemView *>(row->defaultWidget());
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(view->progressIndicator(), nullptr);
    ASSERT_EQ(row->text(), QStringLiteral("Held"));

    const QMRamDisk::Ptr ours = controller.ramDiskEntries()->ramDiskWithIdentifier(r->identifier());
    ASSERT_NE(ours, nullptr);
    _sandbox.watch(ours);
    controller.ramDiskEntries()->create(ours, true);
    ASSERT_TRUE(QMTest::waitUntil([&] {
        return ours->lastActionInfo() == QMRamDiskActionInfo_creatingExecutingPostCommand && view->infoLabel()
               && view->infoLabel()->text()
                      == QMRamDiskManager::displayStringFromAction(QMRamDiskAction_create,
                                                                   QMRamDiskActionInfo_creatingExecutingPostCommand);
    }, 60000)) << "the open menu did not follow the action";
    EXPECT_NE(view->progressIndicator(), nullptr);
    EXPECT_TRUE(QMTest::waitUntil([&] { return view->isSpinning(); }));
    EXPECT_TRUE(row->text().startsWith(QStringLiteral("Held \u2014 "))) << row->text().toStdString();

    QTest::mouseMove(root, root->actionGeometry(row).center());
    ASSERT_TRUE(QMTest::waitUntil([&] { return row->menu()->isVisible(); }, 5000));
    QMenu *submenu = row->menu();
    // Mounted already, its post-command running: it says so, the folder opens, the rest waits.
    EXPECT_EQ(itemNames(submenu), (QStringList{"!Busy", "Open in File Manager", "-", "!Eject", "!Rebuild",
                                               "!Delete All Files", "-", "!(No File Here)"}));
    EXPECT_FALSE(log.contains(QStringLiteral("Action is running"))) << "opening it raised an alert";

    {
        QFile release(gate);
        ASSERT_TRUE(release.open(QIODevice::WriteOnly));
        release.write("go\n");
    }
    ASSERT_TRUE(QMTest::waitUntil([&] { return ours->action() == 0 && ours->status() == QMRamDiskStatus_mounted; },
                                  60000));
    EXPECT_TRUE(QMTest::waitUntil([&] { return view->progressIndicator() == nullptr; }));
    EXPECT_TRUE(QMTest::waitUntil([&] {
        const QAction *eject = item(submenu, QStringLiteral("Eject"));
        return eject && eject->isEnabled();
    })) << itemNames(submenu).join(u' ').toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Action is running")));
    root->hide();
}

// What an action started from the menu tells the user: a warning once, with the RAM disk's
// name; an action without one tells nothing.
TEST_F(HelperRamDiskTest, AWarningOfAnActionFromTheMenuIsToldOnceAndNothingElse)
{
    // A base kept aside by an earlier run while the base itself holds the user's files:
    // the creation keeps it beside the current one, and says so.
    const QString parent = _sandbox.mkdir(QStringLiteral("mnt"));
    QMRamDisk::Ptr r = _sandbox.makeRamDisk(parent, QStringLiteral("Synced"));
    r->setBackupMode(QMRamDiskBackupMode_baseSynchronized);
    ASSERT_TRUE(QDir().mkpath(r->basePath()));
    ASSERT_TRUE(QMEngineTest::writeFile(r->basePath() + QStringLiteral("/mine.txt"), "current"));
    ASSERT_TRUE(QDir().mkpath(r->baseBackupPath()));
    ASSERT_TRUE(QMEngineTest::writeFile(r->baseBackupPath() + QStringLiteral("/old.txt"), "left aside"));
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));

    StatusMenuController controller;
    QSignalSpy told(&controller, &StatusMenuController::userNotified);
    QMTest::OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());
    auto announced = [&] { return heard.senders().count(QStringLiteral("Quilmo-Helper")); };
    openAndClose(controller.rootMenu());
    QMenu *submenu = submenuOf(controller, r);
    ASSERT_NE(submenu, nullptr);
    ASSERT_NE(item(submenu, QStringLiteral("Create")), nullptr);
    _sandbox.watch(controller.ramDiskEntries()->ramDiskWithIdentifier(r->identifier()));
    item(submenu, QStringLiteral("Create"))->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return announced() == 1; }, 60000));
    ASSERT_EQ(told.count(), 1);
    EXPECT_EQ(told.first().at(0).toString(), QStringLiteral("Synced"));
    EXPECT_TRUE(told.first().at(1).toString().contains(QStringLiteral("Contents that an earlier run left aside were kept in")))
        << told.first().at(1).toString().toStdString();

    // Ejected from the menu, without a warning: once its end is announced, a second
    // telling of the first would have come before it.
    submenu = submenuOf(controller, r);
    ASSERT_NE(item(submenu, QStringLiteral("Eject")), nullptr);
    item(submenu, QStringLiteral("Eject"))->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return announced() == 2; }, 60000));
    EXPECT_EQ(told.count(), 1) << "told again, or told of nothing";
    EXPECT_EQ(QMEngineTest::readFile(r->basePath() + QStringLiteral("/mine.txt")), QByteArray("current"));
}
