// The status menu over real, mounted RAM disks: what it offers, what a running application
// forbids, which names it hides, and the warning when a RAM disk fills up.
#include "QMAlert.h"
#include "QMDistributedNotificationCenter.h"
#include "QMHelperTestSupport.h"
#include "QMNSMenuRepresentedObject.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"
#include "StatusMenuController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QWidgetAction>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

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
        QMRamDisk::Ptr r = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), name);
        r->setBackupMode(backupMode);
        QMEngineTest::RecordingDelegate delegate;
        r->performAction(QMRamDiskAction_create, &delegate, false);
        EXPECT_EQ(r->status(), QMRamDiskStatus_mounted) << (r->lastError() ? r->lastError()->description().toStdString() : "");
        return r;
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
    EXPECT_EQ(names.mid(0, 3), (QStringList{"Eject", "Rebuild", "Synchronise Now"}));
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

TEST_F(HelperRamDiskTest, ClickingARowOpensItAndEjectFromItsMenuIsRecorded)
{
    const QMRamDisk::Ptr r = mounted(QStringLiteral("Eject"));
    const QString path = r->path();
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));
    StatusMenuController controller;
    QMHelperTest::UrlCatcher catcher;

    // A click on the row, where Qt draws the menu, opens the RAM disk and closes the menu.
    QMenu *root = controller.rootMenu();
    root->popup(QPoint(10, 10));
    QApplication::processEvents();
    auto *row = qobject_cast<QWidgetAction *>(item(root, r->identifier()));
    ASSERT_NE(row, nullptr);
    QWidget *view = row->defaultWidget();
    const QPointF at(30, 20);
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(view, &release);
    EXPECT_FALSE(root->isVisible());
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.first().toLocalFile(), path);

    QStringList senders;
    QObject::connect(QMDistributedNotificationCenter::defaultCenter(), &QMDistributedNotificationCenter::notificationPosted,
                     &controller, [&](const QString &, const QString &object, const QVariantMap &) { senders << object; });
    QMenu *submenu = submenuOf(controller, r);
    ASSERT_NE(submenu, nullptr);
    item(submenu, QStringLiteral("Eject"))->trigger();
    ASSERT_TRUE(QMTest::waitUntil([&] { return senders.contains(QStringLiteral("Quilmo-Helper")); }, 60000));
    EXPECT_FALSE(QFileInfo::exists(path)) << "a plain RAM disk's mount point goes with it";
    QMRamDiskEntries written;
    ASSERT_TRUE(written.readRamDisksFromDefaultLocation());
    ASSERT_EQ(written.count(), 1);
    EXPECT_EQ(written.ramDisks().first()->status(), QMRamDiskStatus_notCreated);
    r->setStatus(QMRamDiskStatus_notCreated);
}

