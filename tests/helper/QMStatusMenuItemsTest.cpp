// What the menus hold and what the all-disk actions act on, from records alone.
#include "QMHelperTestSupport.h"
#include "QMRamDiskManager.h"
#include "QMStatusMenuItems.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTranslations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using QMHelperTest::record;
using QMHelperTest::withType;

namespace {

QStringList keys(const QList<QMStatusMenuItem> &items)
{
    QStringList k;
    for (const QMStatusMenuItem &i : items)
        k << (i.kind == QMStatusMenuItem::Separator ? QStringLiteral("-")
                                                    : (i.enabled ? QString() : QStringLiteral("!")) + i.key);
    return k;
}

const QMStatusMenuItem *find(const QList<QMStatusMenuItem> &items, const QString &key)
{
    for (const QMStatusMenuItem &i : items)
        if (i.key == key)
            return &i;
    return nullptr;
}

QStringList rowKeys(const QList<QMRamDisk::Ptr> &ramDisks)
{
    QStringList k;
    for (const QMRamDisk::Ptr &r : ramDisks)
        k << r->identifier();
    return k;
}

} // namespace

TEST(StatusMenuItems, EmptyListShowsOpenMemoryPurgeNoRamDiskQuit)
{
    ASSERT_TRUE(QMTranslations::installTranslations());
    QMMemoryStatistics memory;
    memory.wired = 2ULL << 30;
    memory.free = 512ULL << 20;
    memory.purgeable = 0;
    memory.compressed = 3ULL << 20;
    const auto items = QMStatusMenuItems::rootMenu({}, memory, true);
    EXPECT_EQ(keys(items), (QStringList{"Open Quilmo", "-", "!Memory Statistics", "!Wired", "!Free", "!Compressed", "-",
                                        "Free Up Inactive Memory", "!No RamDisk", "-", "Quit Quilmo Menu"}));
    EXPECT_EQ(find(items, "Wired")->title, QStringLiteral("\u2003\u2003Wired: 2 GB"));
    EXPECT_EQ(find(items, "Free")->title, QStringLiteral("\u2003\u2003Free: 512 MB"));
    EXPECT_EQ(find(items, "Open Quilmo")->selector, QMStatusMenuSelector::OpenRamDiskApp);
    EXPECT_EQ(find(items, "Quit Quilmo Menu")->selector, QMStatusMenuSelector::QuitHelper);

    // Without a memory report the whole block goes, its separator too; without purge, the item.
    EXPECT_EQ(keys(QMStatusMenuItems::rootMenu({}, std::nullopt, false)),
              (QStringList{"Open Quilmo", "!No RamDisk", "-", "Quit Quilmo Menu"}));
}

TEST(StatusMenuItems, AllDiskActionsAreEnabledByStatusAndShownByCandidates)
{
    const auto mounted = record(2), mounted2 = record(2), notCreated = record(0), created = record(1);
    auto names = [](const QList<QMRamDisk::Ptr> &list) { return keys(QMStatusMenuItems::rootMenu(list, std::nullopt, false)); };

    QStringList expected{"Open Quilmo", "-", "!Create All", "Eject All", "-"};
    expected << rowKeys({mounted, mounted2}) << "-" << "Quit Quilmo Menu";
    EXPECT_EQ(names({mounted, mounted2}), expected) << "every RAM disk mounted: Create All disabled, no candidates";

    expected = QStringList{"Open Quilmo", "-", "Create All", "!Eject All", "-"};
    expected << rowKeys({notCreated}) << "-" << "Quit Quilmo Menu";
    EXPECT_EQ(names({notCreated}), expected);

    // A created but unmounted RAM disk enables Eject All (which will then skip it).
    EXPECT_TRUE(find(QMStatusMenuItems::rootMenu({notCreated, created}, std::nullopt, false), "Eject All")->enabled);
    EXPECT_TRUE(QMStatusMenuItems::targetsOfAllAction(2, {notCreated, created}).isEmpty());
}

TEST(StatusMenuItems, CandidatesAreIdleMountedRamDisksOfTheirBackupMode)
{
    const auto synced = record(2, 3);
    const auto backedUp = record(2, 1);
    const auto chosenDir = record(2, 2);
    const auto busy = record(2, 3, 3);
    const auto busyBackup = record(2, 1, 3);
    const auto unmounted = record(1, 1);
    const auto simulator = withType(record(2, 1), 5);

    EXPECT_TRUE(QMStatusMenuItems::isSynchronizingCandidate(synced));
    EXPECT_TRUE(QMStatusMenuItems::isSynchronizingCandidate(simulator));
    EXPECT_FALSE(QMStatusMenuItems::isBackupCandidate(simulator)) << "a simulator RAM disk counts as synchronising";
    EXPECT_TRUE(QMStatusMenuItems::isBackupCandidate(backedUp));
    EXPECT_TRUE(QMStatusMenuItems::isBackupCandidate(chosenDir));
    for (const auto &none : {busy, busyBackup, unmounted}) {
        EXPECT_FALSE(QMStatusMenuItems::isSynchronizingCandidate(none));
        EXPECT_FALSE(QMStatusMenuItems::isBackupCandidate(none));
    }

    auto present = [](const QList<QMRamDisk::Ptr> &list, const char *key) {
        return find(QMStatusMenuItems::rootMenu(list, std::nullopt, false), key) != nullptr;
    };
    EXPECT_FALSE(present({busy, busyBackup, unmounted}, "Synchronise All"));
    EXPECT_FALSE(present({busy, busyBackup, unmounted}, "Backup All"));
    EXPECT_TRUE(present({simulator}, "Synchronise All"));
    EXPECT_FALSE(present({simulator}, "Backup All"));
    EXPECT_TRUE(present({backedUp}, "Backup All"));

    // Backup All still backs the simulator RAM disk up; busy ones are left alone.
    EXPECT_EQ(QMStatusMenuItems::targetsOfAllAction(4, {simulator, backedUp, busyBackup, chosenDir}),
              (QList<QMRamDisk::Ptr>{simulator, backedUp, chosenDir}));
    EXPECT_EQ(QMStatusMenuItems::targetsOfAllAction(3, {synced, backedUp, simulator, busy}),
              (QList<QMRamDisk::Ptr>{synced, simulator}));
    EXPECT_EQ(QMStatusMenuItems::targetsOfAllAction(1, {record(0), record(0, 0, 1), synced}).size(), 1);
    EXPECT_EQ(QMStatusMenuItems::targetsOfAllAction(2, {synced, busy, unmounted}), QList<QMRamDisk::Ptr>{synced});
    EXPECT_TRUE(QMStatusMenuItems::targetsOfAllAction(5, {synced, backedUp}).isEmpty());
    EXPECT_TRUE(QMStatusMenuItems::targetsOfAllAction(0, {record(0)}).isEmpty());
}

TEST(StatusMenuItems, RowsAreDisabledWhileBusy)
{
    const auto idle = record(2), busy = record(2, 0, 5);
    const auto items = QMStatusMenuItems::rootMenu({idle, busy}, std::nullopt, false);
    EXPECT_TRUE(find(items, idle->identifier())->enabled);
    EXPECT_FALSE(find(items, busy->identifier())->enabled);
    EXPECT_EQ(find(items, busy->identifier())->kind, QMStatusMenuItem::RamDiskRow);
    EXPECT_EQ(find(items, busy->identifier())->ramDisk, busy);
}

TEST(StatusMenuItems, WarningIsStrictlyAboveEightyPercent)
{
    EXPECT_FALSE(QMStatusMenuItems::diskWarning({record(2, 0, 0, 100, 20)})) << "exactly 0.8";
    EXPECT_TRUE(QMStatusMenuItems::diskWarning({record(2, 0, 0, 100, 19)})) << "0.81";
    EXPECT_FALSE(QMStatusMenuItems::diskWarning({record(2, 0, 5, 100, 1)})) << "busy";
    EXPECT_FALSE(QMStatusMenuItems::diskWarning({record(1, 0, 0, 100, 1)})) << "not mounted";
    EXPECT_TRUE(QMStatusMenuItems::diskWarning({record(2, 0, 0, 100, 50), record(2, 0, 0, 100, 10)}));
    EXPECT_FALSE(QMStatusMenuItems::diskWarning({}));
}

TEST(StatusMenuItems, RamDiskSubmenuByStatus)
{
    QMTemporaryDir mountDir(QMTest::testHome() + QStringLiteral("/mount-XXXXXX"));
    auto configured = [&](qint64 status, qint64 backupMode) {
        QMRamDisk::Ptr r = record(status, backupMode);
        r->setName(QStringLiteral("Scratch"));
        r->setSize(128000000);
        r->setMountDirectory(mountDir.path());
        return r;
    };

    auto notCreated = QMStatusMenuItems::ramDiskMenu(configured(0, 0));
    EXPECT_EQ(keys(notCreated), QStringList{"Create"});
    EXPECT_EQ(notCreated.first().tag, 2);
    EXPECT_EQ(notCreated.first().iconName, QStringLiteral("rmov"));
    EXPECT_EQ(keys(QMStatusMenuItems::ramDiskMenu(configured(7, 0))), QStringList{"Create"});

    auto created = QMStatusMenuItems::ramDiskMenu(configured(1, 0));
    EXPECT_EQ(keys(created), QStringList{"Mount"});
    EXPECT_TRUE(created.first().toolTip.isEmpty());

    // Mounted: its folder first (what a click on the row used to do), then its actions.
    auto mounted = QMStatusMenuItems::ramDiskMenu(configured(2, 0));
    EXPECT_EQ(keys(mounted), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Delete All Files"}));
    EXPECT_EQ(find(mounted, "Open in File Manager")->selector, QMStatusMenuSelector::OpenRamDisk);
    EXPECT_NE(find(mounted, "Open in File Manager")->ramDisk, nullptr);
    auto backup = QMStatusMenuItems::ramDiskMenu(configured(2, 2));
    EXPECT_EQ(keys(backup), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Backup Now", "Delete All Files"}));
    EXPECT_EQ(find(backup, "Backup Now")->tag, 1);
    auto synced = QMStatusMenuItems::ramDiskMenu(configured(2, 3));
    EXPECT_EQ(find(synced, "Synchronise Now")->tag, 2);
    EXPECT_EQ(find(synced, "Synchronise Now")->iconName, QStringLiteral("syncIcon"));
    auto simulator = QMStatusMenuItems::ramDiskMenu(withType(configured(2, 1), 5));
    EXPECT_EQ(keys(simulator), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Synchronise Now"}));

    // What the validity check refuses disables the items it governs, with its message.
    QMRamDisk::Ptr invalid = configured(2, 1);
    invalid->setName(QStringLiteral("a:b"));
    auto refused = QMStatusMenuItems::ramDiskMenu(invalid);
    EXPECT_EQ(keys(refused),
              (QStringList{"Open in File Manager", "-", "!Eject", "!Rebuild", "Backup Now", "!Delete All Files"}));
    EXPECT_EQ(find(refused, "Eject")->toolTip, QStringLiteral("The name contains invalid character."));
    EXPECT_EQ(find(refused, "Delete All Files")->toolTip, find(refused, "Eject")->toolTip);
    QMRamDisk::Ptr tooSmall = configured(0, 0);
    tooSmall->setSize(1000);
    auto create = QMStatusMenuItems::ramDiskMenu(tooSmall);
    EXPECT_EQ(keys(create), QStringList{"!Create"});
    EXPECT_EQ(create.first().toolTip, QStringLiteral("Please, specify a correct size of RamDisk"));
}

// A RAM disk that became busy after its row was made (a scheduled save began): its submenu
// says what runs, every action waits for it, and its folder stays open to the user.
TEST(StatusMenuItems, ABusyRamDiskSubmenuSaysWhatRunsAndItsActionsWait)
{
    QMTemporaryDir mountDir(QMTest::testHome() + QStringLiteral("/mount-XXXXXX"));
    QMRamDisk::Ptr r = record(2, 1, QMRamDiskAction_backup);
    r->setName(QStringLiteral("Scratch"));
    r->setSize(128000000);
    r->setMountDirectory(mountDir.path());
    r->setLastActionInfo(QMRamDiskActionInfo_backuping);
    const QString saving = QMRamDiskManager::displayStringFromAction(QMRamDiskAction_backup, QMRamDiskActionInfo_backuping);
    ASSERT_FALSE(saving.isEmpty());

    const auto items = QMStatusMenuItems::ramDiskMenu(r);
    EXPECT_EQ(keys(items), (QStringList{"!Busy", "Open in File Manager", "-", "!Eject", "!Rebuild", "!Backup Now",
                                        "!Delete All Files"}));
    EXPECT_EQ(find(items, "Busy")->title, saving);
    EXPECT_EQ(find(items, "Eject")->toolTip, saving);
    // The row says the same under its name, and in its text where the desktop draws it.
    EXPECT_EQ(QMStatusMenuItems::rowStateLine(r, 0), saving);
    EXPECT_EQ(QMStatusMenuItems::rowText(r, 0), QStringLiteral("Scratch \u2014 ") + saving);

    // Idle again: the actions come back, and the line tells of the last save.
    r->setAction(QMRamDiskAction_none);
    r->setLastSaveDate(1000);
    EXPECT_EQ(keys(QMStatusMenuItems::ramDiskMenu(r)),
              (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Backup Now", "Delete All Files"}));
    EXPECT_EQ(QMStatusMenuItems::rowText(r, 1000 + 90), QStringLiteral("Scratch \u2014 Saved 1 minute ago"));
    r->setStatus(QMRamDiskStatus_created);
    EXPECT_EQ(QMStatusMenuItems::rowText(r, 1000 + 90), QStringLiteral("Scratch")) << "nothing to tell";
}

TEST(StatusMenuItems, MenuTextsShowAmpersandsAsWritten)
{
    EXPECT_EQ(QMStatusMenuItems::escapedMenuText(QStringLiteral("Tom & Jerry&")), QStringLiteral("Tom && Jerry&&"));
}

// Above 80 % full (when the icon turns red) a mounted memory instance offers to grow by one
// step; the item carries the new size.
TEST(StatusMenuItems, AFullMemoryInstanceOffersToGrowToTheNextStep)
{
    QMTranslations::installTranslations();
    QMTemporaryDir mountDir(QMTest::testHome() + QStringLiteral("/mount-XXXXXX"));
    QMRamDisk::Ptr r = record(2, 0, 0, 256000000, 52000000); // 79.7 % used
    r->setName(QStringLiteral("Scratch"));
    r->setSize(256000000);
    r->setMountDirectory(mountDir.path());
    r->setDeviceNode(QStringLiteral("quilmo-ram4"));
    EXPECT_FALSE(find(QMStatusMenuItems::ramDiskMenu(r), QStringLiteral("Grow to %@")));

    r->setVolFree(51000000); // 80.1 %
    const auto items = QMStatusMenuItems::ramDiskMenu(r);
    const QMStatusMenuItem *grow = find(items, QStringLiteral("Grow to %@"));
    ASSERT_TRUE(grow);
    EXPECT_EQ(grow->title, QStringLiteral("Grow to 512 MB"));
    EXPECT_EQ(grow->selector, QMStatusMenuSelector::Grow);
    EXPECT_EQ(grow->tag, 512000000);
    EXPECT_TRUE(grow->enabled);
    EXPECT_EQ(grow->ramDisk, r);
    EXPECT_EQ(keys(items), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Grow to %@", "Delete All Files"}));

    // A loop device cannot grow in place; a busy RAM disk's item waits.
    r->setDeviceNode(QStringLiteral("/dev/loop3"));
    EXPECT_EQ(QMStatusMenuItems::growTarget(r), 0u);
    r->setDeviceNode(QStringLiteral("quilmo-ram4"));
    r->setAction(QMRamDiskAction_backup);
    const QList<QMStatusMenuItem> busyItems = QMStatusMenuItems::ramDiskMenu(r);
    const QMStatusMenuItem *waiting = find(busyItems, QStringLiteral("Grow to %@"));
    ASSERT_TRUE(waiting);
    EXPECT_FALSE(waiting->enabled);
}
