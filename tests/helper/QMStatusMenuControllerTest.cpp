// The status menu built by its controller on the offscreen platform, over a real store read
// from a real entries file, and the notifications on the session bus.
// Mouse events go through the window system, to the widget under the pointer, as a real
// mouse's do.
#define QTEST_QPA_MOUSE_HANDLING
#include "QMDistributedNotificationCenter.h"
#include "QMHelperTestSupport.h"
#include "QMNSMenuRepresentedObject.h"
#include "QMOwnAnnouncements.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMRamDiskUtils.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "RamDiskMenuItemView.h"
#include "StatusMenuController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QWidgetAction>

using QMHelperTest::item;
using QMHelperTest::itemNames;
using QMHelperTest::openAndClose;

namespace {


// An installation of its own: no purge tool unless asked, a main program that leaves a mark.
class Installation
{
public:
    explicit Installation(bool withPurge)
    {
        QDir().mkpath(_dir.path() + QStringLiteral("/libexec/quilmo"));
        QDir().mkpath(_dir.path() + QStringLiteral("/bin"));
        if (withPurge)
            QMTest::writeScript(_dir.path() + QStringLiteral("/libexec/quilmo"), QStringLiteral("purge"),
                                QStringLiteral("touch '%1/purged'\n").arg(_dir.path()));
        QMTest::writeScript(_dir.path() + QStringLiteral("/bin"), QStringLiteral("Quilmo"),
                            QStringLiteral("touch '%1/started'\n").arg(_dir.path()));
        QMRamDiskUtils::setInstallPrefixForTesting(_dir.path());
    }
    ~Installation() { QMRamDiskUtils::setInstallPrefixForTesting(QString()); }
    QString marker(const QString &name) const { return _dir.path() + u'/' + name; }

private:
    QMTemporaryDir _dir{QMTest::testHome() + QStringLiteral("/prefix-XXXXXX")};
};

class StatusMenuControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
        QFile::remove(StatusMenuController::mainPreferencesFilePath());
    }
};

QStringList withoutMemoryBlock(QStringList names)
{
    // The memory figures depend on the machine; their lines are checked elsewhere.
    for (const char *line : {"!Wired", "!Free", "!Purgeable", "!Compressed"})
        names.removeAll(QString::fromLatin1(line));
    return names;
}

} // namespace

TEST_F(StatusMenuControllerTest, EmptyListGivesExactlyTheFixedItems)
{
    for (bool purge : {true, false}) {
        Installation installation(purge);
        StatusMenuController controller;
        openAndClose(controller.rootMenu());
        QStringList expected{"Open Quilmo", "-", "!Memory Statistics", "-"};
        if (!purge)
            expected.removeLast();
        if (purge)
            expected << "Free Up Inactive Memory";
        expected << "!No RamDisk" << "-" << "Quit Quilmo Menu";
        EXPECT_EQ(withoutMemoryBlock(itemNames(controller.rootMenu())), expected) << "purge " << purge;
        EXPECT_NE(item(controller.rootMenu(), "Wired"), nullptr);
        EXPECT_FALSE(item(controller.rootMenu(), "Open Quilmo")->icon().isNull());
    }
}

TEST_F(StatusMenuControllerTest, OpenQuilmoStartsTheMainProgramOfTheSameInstallation)
{
    Installation installation(true);
    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    item(controller.rootMenu(), "Open Quilmo")->trigger();
    EXPECT_TRUE(QMTest::waitUntil([&] { return QFile::exists(installation.marker("started")); }));
    item(controller.rootMenu(), "Free Up Inactive Memory")->trigger();
    EXPECT_TRUE(QMTest::waitUntil([&] { return QFile::exists(installation.marker("purged")); }));
}

TEST_F(StatusMenuControllerTest, RowsCarryTheirTextIconAndSubmenuForExportedMenus)
{
    Installation installation(false);
    const QMRamDisk::Ptr a = QMHelperTest::record(0), b = QMHelperTest::record(0);
    a->setName(QStringLiteral("Cache & Co"));
    b->setName(QStringLiteral("Builds"));
    ASSERT_TRUE(QMHelperTest::writeEntries({a, b}, true));
    StatusMenuController controller;
    openAndClose(controller.rootMenu());
    EXPECT_EQ(withoutMemoryBlock(itemNames(controller.rootMenu())),
              (QStringList{"Open Quilmo", "-", "!Memory Statistics", "-", "Create All", "!Eject All", "-",
                           a->identifier(), b->identifier(), "-", "Quit Quilmo Menu"}));
    auto *row = qobject_cast<QWidgetAction *>(item(controller.rootMenu(), a->identifier()));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(), QStringLiteral("Cache && Co"));
    EXPECT_FALSE(row->icon().isNull());
    auto *view = qobject_cast<RamDiskMenuItemView *>(row->defaultWidget());
    ASSERT_NE(view, nullptr);
    auto *submenu = qobject_cast<QMNSMenuRepresentedObject *>(row->menu());
    ASSERT_NE(submenu, nullptr);
    EXPECT_EQ(StatusMenuController::menuTitle(submenu), StatusMenuController::ramDiskMenuTitle());
    EXPECT_EQ(submenu->repObject()->identifier(), a->identifier());

    // Filled when it opens: a RAM disk that is not created offers "Create" only.
    openAndClose(submenu);
    QStringList names = itemNames(submenu);
    ASSERT_EQ(names.size(), 1);
    EXPECT_TRUE(names.first().endsWith(QLatin1String("Create")));
}

TEST_F(StatusMenuControllerTest, RootMenuOpeningPressesTheIconAndClosingReleasesIt)
{
    StatusMenuController controller;
    controller.rootMenu()->popup(QPoint(5, 5));
    QApplication::processEvents();
    EXPECT_TRUE(controller.statusItemView()->isPressed());
    controller.rootMenu()->hide();
    QApplication::processEvents();
    EXPECT_FALSE(controller.statusItemView()->isPressed());
}

TEST_F(StatusMenuControllerTest, IconStyleComesFromQuilmosPreferencesAndFollowsItsNotification)
{
    {
        StatusMenuController controller;
        EXPECT_EQ(controller.statusItemView()->badgeStyle(), 0) << "no preferences file";
    }
    QDir().mkpath(QFileInfo(StatusMenuController::mainPreferencesFilePath()).path());
    {
        QSettings prefs(StatusMenuController::mainPreferencesFilePath(), QSettings::IniFormat);
        prefs.setValue(QStringLiteral("StatusItemIconStyle"), 2);
    }
    StatusMenuController controller;
    EXPECT_EQ(controller.statusItemView()->badgeStyle(), 2);

    const QString name = StatusMenuController::iconStyleNotificationName();
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(name, QStringLiteral("Quilmo-App"),
                                                                      {{QStringLiteral("StatusItemIconStyle"), 1}}));
    EXPECT_TRUE(QMTest::waitUntil([&] { return controller.statusItemView()->badgeStyle() == 1; }));
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(name, QStringLiteral("Quilmo-App"), {}));
    EXPECT_TRUE(QMTest::waitUntil([&] { return controller.statusItemView()->badgeStyle() == 0; }))
        << "a missing entry gives 0";
}

TEST_F(StatusMenuControllerTest, ReloadsOnOthersChangesButNotOnItsOwnNorWhileBusy)
{
    StatusMenuController controller;
    // Made first: its own probe is another program's announcement to the controller.
    QMTest::OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());
    ASSERT_EQ(controller.ramDiskEntries()->count(), 0);
    ASSERT_TRUE(QMHelperTest::writeEntries({QMHelperTest::record(0)}, true));

    const QString name = QMRamDiskEntries::didChangeToAllNotificationName();
    // Our own announcement comes back from the bus and is ignored; the one after it, from
    // Quilmo, is read. Both arrive in order, so the first is known to have been handled.
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(name, QStringLiteral("Quilmo-Helper")));
    EXPECT_TRUE(QMTest::waitUntil([&] { return heard.senders().contains(QStringLiteral("Quilmo-Helper")); }));
    EXPECT_EQ(controller.ramDiskEntries()->count(), 0);
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(name, QStringLiteral("Quilmo-App")));
    EXPECT_TRUE(QMTest::waitUntil([&] { return controller.ramDiskEntries()->count() == 1; }));

    // While one of its actions runs it keeps its list, and says so.
    QMEngineTest::LogCapture log;
    controller.ramDiskEntries()->ramDisks().first()->setAction(QMRamDiskAction_create);
    ASSERT_TRUE(QMHelperTest::writeEntries({QMHelperTest::record(0), QMHelperTest::record(0)}, true));
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(name, QStringLiteral("Quilmo-App")));
    EXPECT_TRUE(QMTest::waitUntil([&] { return log.contains(QStringLiteral("hasRunningAction==YES")); }));
    EXPECT_EQ(controller.ramDiskEntries()->count(), 1);
    controller.ramDiskEntries()->ramDisks().first()->setAction(QMRamDiskAction_none);
}

TEST_F(StatusMenuControllerTest, QuitItemAsksTheApplicationToQuit)
{
    StatusMenuController controller;
    QSignalSpy quit(&controller, &StatusMenuController::quitRequested);
    openAndClose(controller.rootMenu());
    item(controller.rootMenu(), "Quit Quilmo Menu")->trigger();
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(StatusMenuControllerTest, EndOfAFailedActionWritesAnnouncesAndTellsTheUser)
{
    // A disk tool that refuses to attach: the creation fails at once, no device is made.
    QMEngineTest::ToolWrappers tools({}, {{QStringLiteral("hdiutil"),
                                           QStringLiteral("echo 'hdiutil: attach failed' >&2\nexit 1\n")}});
    QMTemporaryDir mountDir(QMTest::testHome() + QStringLiteral("/mnt-XXXXXX"));
    QMRamDisk::Ptr r = QMHelperTest::record(0);
    r->setName(QStringLiteral("Failing"));
    r->setSize(128000000);
    r->setMountDirectory(mountDir.path());
    ASSERT_TRUE(QMHelperTest::writeEntries({r}, true));

    StatusMenuController controller;
    QSignalSpy told(&controller, &StatusMenuController::userNotified);
    QMTest::OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());
    const QString file = QMRamDiskEntries::defaultEntriesFilePath();
    const QDateTime before = QFileInfo(file).lastModified();

    openAndClose(controller.rootMenu());
    QMenu *submenu = item(controller.rootMenu(), r->identifier())->menu();
    openAndClose(submenu);
    QAction *create = item(submenu, QStringLiteral("Create"));
    ASSERT_NE(create, nullptr);
    ASSERT_TRUE(create->isEnabled()) << create->toolTip().toStdString();
    create->trigger();

    ASSERT_TRUE(QMTest::waitUntil([&] { return told.count() == 1; }, 30000));
    EXPECT_EQ(told.first().at(0).toString(), QStringLiteral("Failing"));
    EXPECT_FALSE(told.first().at(1).toString().isEmpty());
    EXPECT_TRUE(QMTest::waitUntil([&] { return heard.senders().contains(QStringLiteral("Quilmo-Helper")); }));
    EXPECT_NE(QFileInfo(file).lastModified(), before);
    EXPECT_FALSE(controller.ramDiskEntries()->hasRunningAction());
}


// Quilmo's own menu (what an XEmbed tray shows on both buttons) with the mouse: the row
// under the pointer is highlighted in the selection colours and opens its submenu after
// the usual delay; a click on a row opens its submenu at once, and opens no folder.
TEST_F(StatusMenuControllerTest, TheMouseHighlightsARowAndOpensItsSubmenu)
{
    Installation installation(false);
    QMHelperTest::UrlCatcher catcher;
    const QMRamDisk::Ptr a = QMHelperTest::record(0), b = QMHelperTest::record(0);
    a->setName(QStringLiteral("Hovered"));
    b->setName(QStringLiteral("Clicked"));
    ASSERT_TRUE(QMHelperTest::writeEntries({a, b}, true));
    StatusMenuController controller;
    QMenu *root = controller.rootMenu();
    root->popup(QPoint(20, 20));
    ASSERT_TRUE(QMTest::waitUntil([&] { return root->isVisible(); }));
    auto *hovered = qobject_cast<QWidgetAction *>(item(root, a->identifier()));
    auto *clicked = qobject_cast<QWidgetAction *>(item(root, b->identifier()));
    ASSERT_TRUE(hovered && clicked);
    auto *view = qobject_cast<RamDiskMenuItemView *>(hovered->defaultWidget());
    ASSERT_NE(view, nullptr);
    ASSERT_FALSE(view->isHighlighted());

    QTest::mouseMove(root, root->actionGeometry(hovered).center());
    ASSERT_TRUE(QMTest::waitUntil([&] { return root->activeAction() == hovered; }, 5000)) << "hovering did not highlight";
    EXPECT_TRUE(view->isHighlighted());
    EXPECT_TRUE(QMTest::waitUntil([&] {
        return view->grab().toImage().pixelColor(3, 3) == root->palette().color(QPalette::Active, QPalette::Highlight);
    })) << "drawn in the selection colour";
    EXPECT_TRUE(QMTest::waitUntil([&] { return hovered->menu()->isVisible(); }, 5000)) << "no submenu after the delay";

    QTest::mouseClick(root, Qt::LeftButton, Qt::NoModifier, root->actionGeometry(clicked).center());
    EXPECT_EQ(root->activeAction(), clicked);
    EXPECT_TRUE(QMTest::waitUntil([&] { return clicked->menu()->isVisible(); }, 5000)) << "the click opened no submenu";
    EXPECT_TRUE(QMTest::waitUntil([&] { return !hovered->menu()->isVisible(); }));
    EXPECT_TRUE(root->isVisible());
    EXPECT_TRUE(catcher.opened.isEmpty()) << "a click on a row opens its submenu, not its folder";
    root->hide();
}
