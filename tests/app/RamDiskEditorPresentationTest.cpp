// What the editor pane shows, computed without a screen: its menus, its enabling by state,
// its button and progress line, the capacity's units, and which folders may be chosen.
#include "QMFunctions.h"
#include "QMKernelFeaturesRoot.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTranslations.h"
#include "RamDiskEditorPresentation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using E = RamDiskEditorPresentation;

namespace {

QStringList titles(const E::Menu &menu)
{
    QStringList t;
    for (const E::MenuItem &item : menu.items)
        t << (item.separator ? QStringLiteral("-") : item.title);
    return t;
}

const E::MenuItem *itemTagged(const E::Menu &menu, int tag)
{
    for (const E::MenuItem &item : menu.items)
        if (!item.separator && item.tag == tag && item.simDirId.isEmpty())
            return &item;
    return nullptr;
}

QMRamDisk::Ptr record(qint64 type = QMRamDiskType_default, const QString &name = QStringLiteral("Disk"))
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    if (type != QMRamDiskType_default) {
        // Decoded, as a record of that type read from the entries file.
        QVariantMap coder;
        r->encodeWithCoder(&coder);
        coder.insert(QStringLiteral("type"), type);
        r = QMRamDisk::initWithCoder(coder);
    }
    r->setName(name);
    return r;
}

class EditorPresentation : public ::testing::Test
{
protected:
    void SetUp() override { QMTranslations::installTranslations(); }
};

} // namespace

TEST_F(EditorPresentation, TypeMenuOffersEachPresetOnceAndHidesWhatThisMachineLacks)
{
    // Chrome is "installed" under a made-up applications root, too old to be used.
    QMTemporaryDir root;
    QDir().mkpath(root.filePath(QStringLiteral("opt/google/chrome")));
    QMTest::writeScript(root.filePath(QStringLiteral("opt/google/chrome")), QStringLiteral("chrome"),
                        QStringLiteral("echo 'Google Chrome 50.0.1'\n"));
    QMRamDiskManager::setApplicationsRootForTesting(root.path());

    QMRamDisk::Ptr edited = record();
    QMRamDisk::Ptr other = record(QMRamDiskType_Firefox, QStringLiteral("firefox"));
    const E::Menu menu = E::typeMenu(edited, {edited, other}, {});
    QMRamDiskManager::setApplicationsRootForTesting(QString());

    // Safari and the developer presets do not exist here: neither they nor their separators.
    EXPECT_EQ(titles(menu), (QStringList{QStringLiteral("Custom RAM Disk"), QStringLiteral("-"),
                                         QStringLiteral("Firefox Cache"), QStringLiteral("Google Chrome Cache")}));
    ASSERT_EQ(menu.selected, 0);
    const E::MenuItem *firefox = itemTagged(menu, QMRamDiskType_Firefox);
    ASSERT_TRUE(firefox);
    EXPECT_FALSE(firefox->enabled) << "used by another RAM disk";
    EXPECT_TRUE(firefox->toolTip.contains(QStringLiteral("firefox"))) << firefox->toolTip.toStdString();
    const E::MenuItem *chrome = itemTagged(menu, QMRamDiskType_Chrome);
    ASSERT_TRUE(chrome);
    EXPECT_FALSE(chrome->enabled) << "shown, but not usable on this machine";
    EXPECT_FALSE(chrome->toolTip.isEmpty()) << "the preset says why";
    EXPECT_EQ(firefox->imageType, qint64(QMRamDiskType_Firefox));

    // The RAM disk that uses Firefox sees its own entry enabled and selected.
    const E::Menu own = E::typeMenu(other, {edited, other}, {});
    const E::MenuItem *mine = itemTagged(own, QMRamDiskType_Firefox);
    ASSERT_TRUE(mine);
    EXPECT_TRUE(mine->enabled);
    EXPECT_EQ(own.items.at(own.selected).tag, int(QMRamDiskType_Firefox));
}

TEST_F(EditorPresentation, TypeMenuKeepsARamDisksOwnPresetThatIsNoLongerOffered)
{
    // Safari is never offered on Linux; an old record of that type still shows it, selected.
    QMRamDisk::Ptr safari = record(QMRamDiskType_Safari, QStringLiteral("Safari"));
    const E::Menu menu = E::typeMenu(safari, {safari}, {});
    ASSERT_GE(menu.selected, 0);
    EXPECT_EQ(menu.items.at(menu.selected).tag, int(QMRamDiskType_Safari));
    EXPECT_TRUE(menu.items.at(menu.selected).enabled);
    EXPECT_EQ(titles(menu).mid(0, 3), (QStringList{QStringLiteral("Custom RAM Disk"), QStringLiteral("-"),
                                                    QStringLiteral("Safari Caches")}));

    // The unassigned type counts as Safari for the others and shows as custom for itself.
    QMRamDisk::Ptr unassigned = record(QMRamDiskType_unassigned);
    const E::Menu other = E::typeMenu(unassigned, {unassigned, safari}, {});
    EXPECT_EQ(other.items.at(other.selected).tag, int(QMRamDiskType_default));
    const E::Menu forSafariOwner = E::typeMenu(safari, {unassigned, safari}, {});
    EXPECT_TRUE(itemTagged(forSafariOwner, QMRamDiskType_Safari)->enabled);
}

TEST_F(EditorPresentation, SimulatorDevicesFollowTheirTypeIndentedAndTheChosenOneIsSelected)
{
    QMSimDevice phone;
    phone.setDirId(QStringLiteral("A-1"));
    phone.setName(QStringLiteral("iPhone"));
    phone.setVersion(QStringLiteral("17-0"));
    QMSimDevice pad;
    pad.setDirId(QStringLiteral("B-2"));
    pad.setName(QStringLiteral("iPad"));
    pad.setVersion(QStringLiteral("17-0"));

    QMRamDisk::Ptr r = record();
    const E::Menu menu = E::typeMenu(r, {r}, {phone, pad});
    // No CoreSimulator entry on Linux, but the devices are listed all the same, set apart.
    ASSERT_EQ(menu.items.size(), 4);
    EXPECT_EQ(titles(menu).mid(0, 2), (QStringList{QStringLiteral("Custom RAM Disk"), QStringLiteral("-")}));
    EXPECT_EQ(menu.items.at(2).title, phone.displayName());
    EXPECT_EQ(menu.items.at(2).simDirId, QStringLiteral("A-1"));
    EXPECT_EQ(menu.items.at(3).simDirId, QStringLiteral("B-2"));
    for (int i : {2, 3}) {
        EXPECT_TRUE(menu.items.at(i).indented);
        EXPECT_EQ(menu.items.at(i).tag, int(QMRamDiskType_CoreSimulator));
        EXPECT_TRUE(menu.items.at(i).enabled);
    }

    // A simulator RAM disk keeps its own type's entry, and its devices follow it.
    QMRamDisk::Ptr sim = record(QMRamDiskType_CoreSimulator);
    sim->setSimId(QStringLiteral("B-2"));
    const E::Menu simMenu = E::typeMenu(sim, {sim}, {phone, pad});
    EXPECT_EQ(titles(simMenu).mid(1, 2), (QStringList{QStringLiteral("-"), QStringLiteral("iOS Simulators")}));
    EXPECT_EQ(simMenu.selected, 4);
    sim->setSimId(QStringLiteral("gone"));
    // A device that is gone: the type's own entry.
    const E::Menu gone = E::typeMenu(sim, {sim}, {phone, pad});
    ASSERT_GE(gone.selected, 0);
    EXPECT_EQ(gone.items.at(gone.selected).tag, int(QMRamDiskType_CoreSimulator));
    EXPECT_TRUE(gone.items.at(gone.selected).simDirId.isEmpty());
}

TEST_F(EditorPresentation, MountPointMenuWalksUpToTheRoot)
{
    QMTemporaryDir dir;
    const QString deep = dir.filePath(QStringLiteral("a/b/c"));
    ASSERT_TRUE(QDir().mkpath(deep));
    E::Menu menu = E::mountPointMenu(deep, QMRamDiskType_default, 0, QMRamDiskStatus_notCreated);
    QStringList expected{QStringLiteral("Default (Recommended)"), QStringLiteral("-"), QStringLiteral("Choose…"),
                         QStringLiteral("-")};
    QStringList paths;
    for (QString p = deep; p != QLatin1String("/"); p = QFileInfo(p).path())
        paths << p;
    paths << QStringLiteral("/");
    for (const QString &p : paths)
        expected << E::displayNameOfPath(p);
    EXPECT_EQ(titles(menu), expected);
    EXPECT_EQ(menu.selected, 4) << "the mount directory itself";
    EXPECT_EQ(menu.items.at(4).path, deep);
    EXPECT_EQ(menu.items.last().path, QStringLiteral("/"));
    EXPECT_EQ(menu.items.last().title, QStringLiteral("Computer"));
    EXPECT_EQ(menu.items.at(0).iconName, QStringLiteral("computer"));
    for (const E::MenuItem &item : menu.items)
        EXPECT_TRUE(item.separator || item.enabled) << item.title.toStdString();
    EXPECT_TRUE(menu.enabled);

    // Created: the choices are shown but locked; a running action locks the menu.
    menu = E::mountPointMenu(deep, QMRamDiskType_default, 0, QMRamDiskStatus_mounted);
    EXPECT_EQ(titles(menu).mid(0, 2), (QStringList{QStringLiteral("Default (Recommended)"), QStringLiteral("-")}));
    for (const E::MenuItem &item : menu.items)
        EXPECT_TRUE(item.separator || !item.enabled) << item.title.toStdString();
    EXPECT_EQ(menu.items.at(menu.selected).path, deep);
    EXPECT_FALSE(E::mountPointMenu(deep, 0, QMRamDiskAction_eject, QMRamDiskStatus_mounted).enabled);

    // No mount directory: the default, selected. A preset: only its directories, locked.
    menu = E::mountPointMenu(QString(), QMRamDiskType_default, 0, 0);
    EXPECT_EQ(titles(menu), (QStringList{QStringLiteral("Default (Recommended)"), QStringLiteral("-"),
                                         QStringLiteral("Choose…")}));
    EXPECT_EQ(menu.selected, 0);
    menu = E::mountPointMenu(QDir::homePath() + QStringLiteral("/.cache"), QMRamDiskType_Firefox, 0, 0);
    ASSERT_FALSE(menu.items.isEmpty());
    EXPECT_FALSE(menu.items.first().separator);
    EXPECT_EQ(menu.items.first().title, QStringLiteral(".cache"));
    EXPECT_EQ(menu.items.at(1).title, QStringLiteral("Home"));
    EXPECT_EQ(menu.items.at(1).iconName, QStringLiteral("user-home"));
    EXPECT_FALSE(menu.items.first().enabled);
    EXPECT_EQ(menu.selected, 0);
}

TEST_F(EditorPresentation, BackupMenuByTypeAndMode)
{
    QMRamDisk::Ptr r = record();
    const QList<std::pair<qint64, QString>> modes = {
        {QMRamDiskBackupMode_disabled, QStringLiteral("Disabled")},
        {QMRamDiskBackupMode_defaultLocation, QStringLiteral("Default Location")},
        {QMRamDiskBackupMode_baseSynchronized, QStringLiteral("Base Synchronized")},
    };
    for (const auto &[mode, title] : modes) {
        r->setBackupMode(mode);
        const E::Backup b = E::backup(r);
        EXPECT_EQ(titles(b.menu), (QStringList{QStringLiteral("Disabled"), QStringLiteral("-"),
                                               QStringLiteral("Default Location"), QStringLiteral("Base Synchronized"),
                                               QStringLiteral("-"), QStringLiteral("Choose…")}));
        EXPECT_EQ(b.menu.items.at(b.menu.selected).title, title);
        EXPECT_EQ(E::backupModeForTag(b.menu.items.at(b.menu.selected).tag), mode);
        EXPECT_TRUE(b.visible);
        EXPECT_TRUE(b.menu.enabled);
    }
    EXPECT_EQ(E::backupModeForTag(E::BackupChoose), -1);

    // A chosen folder: its item after a separator, selected.
    QMTemporaryDir dir;
    r->setBackupDir(dir.filePath(QStringLiteral("Saved")));
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    E::Backup b = E::backup(r);
    EXPECT_EQ(titles(b.menu).mid(4), (QStringList{QStringLiteral("-"), QStringLiteral("Saved"), QStringLiteral("-"),
                                                   QStringLiteral("Choose…")}));
    EXPECT_EQ(b.menu.items.at(b.menu.selected).tag, int(E::BackupChosen));

    // The browsers keep their cache in step with its directory; other presets back up nothing.
    QMRamDisk::Ptr firefox = record(QMRamDiskType_Firefox);
    firefox->setBackupMode(QMRamDiskBackupMode_baseSynchronized);
    b = E::backup(firefox);
    EXPECT_EQ(titles(b.menu), QStringList{QStringLiteral("Base Synchronized")});
    EXPECT_FALSE(b.menu.items.first().enabled);
    EXPECT_TRUE(b.visible);
    EXPECT_FALSE(b.text.isEmpty());
    EXPECT_NE(b.text, QStringLiteral("BACKUP_LABEL_BS")) << "the text has an English translation";

    b = E::backup(record(QMRamDiskType_CoreSimulator));
    EXPECT_EQ(titles(b.menu), QStringList{QStringLiteral("Base Directory")});
    EXPECT_FALSE(b.menu.items.first().enabled);
    EXPECT_TRUE(b.visible);

    b = E::backup(record(QMRamDiskType_XcodeBuild));
    EXPECT_EQ(titles(b.menu), QStringList{QStringLiteral("Disabled")});
    EXPECT_FALSE(b.visible);
}

TEST_F(EditorPresentation, WhatMayBeEditedInEachState)
{
    QMRamDisk::Ptr r = record();
    E::State s = E::state(r);
    for (bool editable : {s.image, s.type, s.name, s.capacity, s.sliderVisible, s.mountPoint, s.createAtLogin,
                          s.preferWired, s.postCommand, s.indexing, s.backup})
        EXPECT_TRUE(editable);
    EXPECT_FALSE(E::state(record(QMRamDiskType_Firefox)).name) << "a preset's name is its own";

    for (qint64 status : {QMRamDiskStatus_created, QMRamDiskStatus_mounted}) {
        r->setStatus(status);
        s = E::state(r);
        EXPECT_FALSE(s.type);
        EXPECT_FALSE(s.name);
        EXPECT_FALSE(s.indexing);
        EXPECT_FALSE(s.preferWired);
        EXPECT_TRUE(s.capacity);
        EXPECT_TRUE(s.mountPoint);
        EXPECT_TRUE(s.postCommand);
        EXPECT_TRUE(s.backup);
        EXPECT_TRUE(s.createAtLogin);
        EXPECT_EQ(s.sliderVisible, status != QMRamDiskStatus_mounted);
    }

    // Busy, also while a creation runs on a RAM disk not created yet.
    r->setStatus(QMRamDiskStatus_notCreated);
    r->setAction(QMRamDiskAction_create);
    s = E::state(r);
    EXPECT_TRUE(s.busy);
    for (bool locked : {s.image, s.type, s.name, s.capacity, s.mountPoint, s.preferWired, s.postCommand, s.indexing})
        EXPECT_FALSE(locked);
    EXPECT_TRUE(s.backup);
    EXPECT_TRUE(s.createAtLogin);
}

// The box shows where the kernel can keep a RAM disk out of swap; the note tells, where the
// kernel has no case folding, that a RAM disk asked to be case-insensitive is not. A mounted
// RAM disk is asked what its volume does.
TEST_F(EditorPresentation, TheWiredBoxAndTheCaseNoteFollowTheKernel)
{
    QMRamDisk::Ptr plain = record();
    plain->setFormat(QMRamDiskFormat_HFSPlus);
    QMRamDisk::Ptr sensitive = record();
    sensitive->setFormat(QMRamDiskFormat_caseSensitiveHFSPlus);
    {
        QMTest::KernelFeaturesRoot kernel(QStringLiteral("6.1.0"), {QStringLiteral("sys/fs/ext4/features/casefold")});
        EXPECT_FALSE(E::preferWiredShown());
        EXPECT_STREQ(E::optionsLabelKey(), "Auto-Create");
        EXPECT_TRUE(E::caseNote(plain).isEmpty()) << "ext4 folds case on this older kernel";
    }
    {
        QMTest::KernelFeaturesRoot kernel(QStringLiteral("6.12.9"), {QStringLiteral("sys/fs/ext4/features/casefold")});
        EXPECT_TRUE(E::preferWiredShown());
        EXPECT_STREQ(E::optionsLabelKey(), "Options");
        EXPECT_EQ(E::caseNote(plain), QStringLiteral("Names are case-sensitive: this kernel offers no case-insensitive names."));
        EXPECT_TRUE(E::caseNote(sensitive).isEmpty());
    }
    {
        QMTest::KernelFeaturesRoot kernel(QStringLiteral("6.13.0"), {QStringLiteral("sys/fs/tmpfs/features/casefold")});
        EXPECT_TRUE(E::caseNote(plain).isEmpty());
        // Mounted, the volume itself answers: this test's own directory folds no case.
        plain->setStatus(QMRamDiskStatus_mounted);
        plain->setPath(QMTest::testHome());
        EXPECT_FALSE(E::caseNote(plain).isEmpty());
    }
}

TEST_F(EditorPresentation, ButtonTitleFollowsTheActionThenTheStatus)
{
    QMTemporaryDir dir;
    QMRamDisk::Ptr r = record();
    r->setSize(128000000ULL);
    r->setMountDirectory(QDir::homePath());

    const QList<std::tuple<qint64, qint64, QString>> busy = {
        {QMRamDiskStatus_notCreated, QMRamDiskAction_create, QStringLiteral("Create")},
        {QMRamDiskStatus_created, QMRamDiskAction_remount, QStringLiteral("Mount")},
        {QMRamDiskStatus_mounted, QMRamDiskAction_eject, QStringLiteral("Eject")},
        {QMRamDiskStatus_mounted, QMRamDiskAction_cleanUpFiles, QStringLiteral("Eject")},
        {QMRamDiskStatus_notCreated, QMRamDiskAction_rebuild, QStringLiteral("Eject")},
        {QMRamDiskStatus_mounted, QMRamDiskAction_copyToBase, QStringLiteral("Eject")},
        {QMRamDiskStatus_created, QMRamDiskAction_backup, QStringLiteral("Mount")},
    };
    for (const auto &[status, action, title] : busy) {
        r->setStatus(status);
        r->setAction(action);
        r->setLastActionInfo(QMRamDiskActionInfo_creatingNewFileSystem);
        const E::Command c = E::command(r);
        EXPECT_EQ(c.title, title) << action;
        EXPECT_TRUE(c.animating);
        EXPECT_FALSE(c.enabled);
        EXPECT_TRUE(c.progressIsActive);
        EXPECT_EQ(c.progress, QMRamDiskManager::displayStringFromAction(action, QMRamDiskActionInfo_creatingNewFileSystem));
    }

    r->setAction(QMRamDiskAction_none);
    const QList<std::pair<qint64, QString>> idle = {{QMRamDiskStatus_notCreated, QStringLiteral("Create")},
                                                    {QMRamDiskStatus_created, QStringLiteral("Mount")},
                                                    {QMRamDiskStatus_mounted, QStringLiteral("Eject")}};
    for (const auto &[status, title] : idle) {
        r->setStatus(status);
        const E::Command c = E::command(r);
        EXPECT_EQ(c.title, title);
        EXPECT_FALSE(c.animating);
        EXPECT_TRUE(c.enabled);
        EXPECT_TRUE(c.progress.isEmpty()) << c.progress.toStdString();
    }

    // An invalid setting: the button is off and the grey line says why.
    r->setStatus(QMRamDiskStatus_notCreated);
    r->setName(QString());
    E::Command c = E::command(r);
    EXPECT_FALSE(c.enabled);
    EXPECT_FALSE(c.progressIsActive);
    EXPECT_EQ(c.progress, QStringLiteral("Please, specify a name of RamDisk"));
    // An unknown action number is idle.
    r->setName(QStringLiteral("Disk"));
    r->setAction(9);
    c = E::command(r);
    EXPECT_FALSE(c.animating);
    EXPECT_FALSE(c.enabled) << "still not idle";
    EXPECT_EQ(c.title, QStringLiteral("Create"));
    r->setAction(QMRamDiskAction_none);
}

TEST_F(EditorPresentation, CapacityInStepsOf128Megabytes)
{
    EXPECT_EQ(E::sizeForSliderValue(300), 384000000ULL);
    EXPECT_EQ(E::sizeForSliderValue(256), 256000000ULL);
    EXPECT_EQ(E::sizeForSliderValue(384), 384000000ULL);
    EXPECT_EQ(E::sizeForSliderValue(384.4), 384000000ULL) << "rounded first";
    EXPECT_EQ(E::sizeForSliderValue(385), 512000000ULL);
    EXPECT_EQ(E::sizeForSliderValue(0), 128000000ULL) << "never below one step";
    EXPECT_EQ(E::sizeForSliderValue(1), 128000000ULL);
    EXPECT_EQ(E::sliderMaximum(24000000000ULL), 18000);
    EXPECT_EQ(E::sizeText(384000000ULL), QStringLiteral("384 MB"));
    EXPECT_EQ(E::usageToolTip(1000, 250).count(QLatin1Char('\n')), 1);
    EXPECT_TRUE(E::usageToolTip(1000, 250).startsWith(QStringLiteral("Free: ")));
    EXPECT_TRUE(E::usageToolTip(100, 250).endsWith(QMFunctions::stringFromBytesWithBin1024Style(0)))
        << "never a negative use";
}

TEST_F(EditorPresentation, FoldersInsideTheRamDiskAreRefused)
{
    QMTemporaryDir dir;
    const QString mountDirectory = dir.filePath(QStringLiteral("mnt"));
    ASSERT_TRUE(QDir().mkpath(mountDirectory + QStringLiteral("/Disk/inner")));
    ASSERT_TRUE(QDir().mkpath(mountDirectory + QStringLiteral("/Disk2")));
    QMRamDisk::Ptr r = record();
    r->setMountDirectory(mountDirectory);
    QString message;

    // Not created: its place counts for a backup (the base goes aside, the volume comes in),
    // not for a new mount directory.
    EXPECT_TRUE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk/inner"), r, true, &message));
    EXPECT_FALSE(message.isEmpty());
    EXPECT_TRUE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk"), r, true, nullptr));
    EXPECT_TRUE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk/not/yet/made"), r, true, nullptr));
    EXPECT_FALSE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk/inner"), r, false, nullptr));
    EXPECT_FALSE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk2"), r, true, nullptr)) << "a sibling";
    EXPECT_FALSE(E::isInsideRamDisk(mountDirectory, r, true, nullptr));

    // A link that leads inside.
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(mountDirectory + QStringLiteral("/Disk/inner"), link));
    EXPECT_TRUE(E::isInsideRamDisk(link, r, true, nullptr));
    EXPECT_TRUE(E::isInsideRamDisk(link + QStringLiteral("/sub"), r, true, nullptr));

    // Mounted somewhere else than its settings say: where it is counts.
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(elsewhere + QStringLiteral("/deep")));
    r->setStatus(QMRamDiskStatus_mounted);
    r->setPath(elsewhere);
    EXPECT_TRUE(E::isInsideRamDisk(elsewhere + QStringLiteral("/deep"), r, false, nullptr));
    EXPECT_TRUE(E::isInsideRamDisk(elsewhere, r, true, nullptr));
    EXPECT_FALSE(E::isInsideRamDisk(mountDirectory + QStringLiteral("/Disk/inner"), r, true, nullptr));

    // Without a mount directory the volume goes to the default volumes directory.
    QMRamDisk::Ptr plain = record();
    const QString defaultPlace = QMRamDiskDevice::defaultVolumesDirectory() + QStringLiteral("/Disk");
    EXPECT_EQ(E::volumePath(plain, true), QDir::cleanPath(defaultPlace));
    EXPECT_TRUE(E::volumePath(plain, false).isNull());
}

TEST_F(EditorPresentation, SaveEveryFollowsWhereTheRamDiskIsSavedAndTheIdleLineTellsWhen)
{
    // An interval written into the file by hand shows as it is, in its place, and is kept.
    QMRamDisk::Ptr r = record();
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    r->setAutoSaveInterval(120);
    E::Menu m = E::autoSaveMenu(r);
    EXPECT_EQ(titles(m), (QStringList{QStringLiteral("Off"), QStringLiteral("2 minutes"), QStringLiteral("5 minutes"),
                                      QStringLiteral("15 minutes"), QStringLiteral("30 minutes"),
                                      QStringLiteral("60 minutes")}));
    EXPECT_EQ(m.selected, 1);
    EXPECT_EQ(m.items.at(1).tag, int(E::AutoSaveKept));

    // A base-synchronised RAM disk is saved only once it has its base; the simulator's always.
    r->setBackupMode(QMRamDiskBackupMode_baseSynchronized);
    EXPECT_EQ(E::autoSaveMenu(r).selected, 0);
    EXPECT_FALSE(E::state(r).autoSave);
    EXPECT_EQ(E::autoSaveIntervalAfterEdit(r, true), 0);
    r->setMountDirectory(QDir::homePath());
    EXPECT_EQ(E::autoSaveIntervalAfterEdit(r, false), QMRamDisk::defaultAutoSaveInterval);
    r->setAutoSaveInterval(0);
    EXPECT_EQ(E::autoSaveIntervalAfterEdit(r, true), 0) << "still saved: the user's off stays";
    EXPECT_TRUE(E::state(record(QMRamDiskType_CoreSimulator)).autoSave);
    EXPECT_FALSE(E::state(record(QMRamDiskType_XcodeBuild)).autoSave);

    // The idle line: the last save, mounted or not; an action's own line, or what keeps the
    // RAM disk from being created, comes first; an unknown action is not idle.
    const double now = 1.8e9;
    r->setSize(128000000ULL);
    r->setLastSaveDate(now - 180);
    for (qint64 status : {QMRamDiskStatus_notCreated, QMRamDiskStatus_mounted}) {
        r->setStatus(status);
        EXPECT_EQ(E::command(r, now).progress, QStringLiteral("Saved 3 minutes ago"));
    }
    r->setAction(QMRamDiskAction_copyToBase);
    EXPECT_FALSE(E::command(r, now).progressIsSaveDate);
    r->setAction(9);
    EXPECT_TRUE(E::command(r, now).progress.isEmpty());
    r->setAction(QMRamDiskAction_none);
    r->setStatus(QMRamDiskStatus_notCreated);
    r->setName(QString());
    EXPECT_EQ(E::command(r, now).progress, QStringLiteral("Please, specify a name of RamDisk"));
}

// Mounted, a memory instance offers its slider again with the usage under it and the Resize
// button; a loop device only shows its usage.
TEST_F(EditorPresentation, AMountedMemoryInstanceOffersTheSliderTheUsageAndResize)
{
    QMRamDisk::Ptr r = record();
    r->setSize(512000000ULL);
    r->setStatus(QMRamDiskStatus_mounted);
    r->setVolSize(512000000ULL);
    r->setVolFree(212000000ULL); // 300 MB used
    r->setDeviceNode(QStringLiteral("/dev/loop7"));
    E::State s = E::state(r);
    EXPECT_FALSE(s.sliderVisible);
    EXPECT_TRUE(s.usageVisible);
    EXPECT_FALSE(s.resizeVisible);
    EXPECT_FALSE(E::resize(r, 1024000000ULL).enabled);

    r->setDeviceNode(QStringLiteral("quilmo-ram3"));
    s = E::state(r);
    EXPECT_TRUE(s.sliderVisible);
    EXPECT_TRUE(s.usageVisible);
    EXPECT_TRUE(s.resizeVisible);
    EXPECT_FALSE(E::resize(r, 512000000ULL).enabled) << "the size it has";
    EXPECT_TRUE(E::resize(r, 1024000000ULL).enabled);
    EXPECT_TRUE(E::resize(r, 384000000ULL).enabled) << "above what it holds";
    const E::Resize tooSmall = E::resize(r, 256000000ULL);
    EXPECT_FALSE(tooSmall.enabled);
    EXPECT_EQ(tooSmall.toolTip, QStringLiteral("The RamDisk holds more than that size leaves room for."));
    r->setAction(QMRamDiskAction_resize);
    EXPECT_FALSE(E::resize(r, 1024000000ULL).enabled) << "busy";
    EXPECT_TRUE(E::state(r).sliderVisible);
    EXPECT_FALSE(E::state(r).capacity);

    r->setAction(QMRamDiskAction_none);
    r->setStatus(QMRamDiskStatus_created);
    s = E::state(r);
    EXPECT_TRUE(s.sliderVisible);
    EXPECT_FALSE(s.usageVisible);
    EXPECT_FALSE(s.resizeVisible);
}
