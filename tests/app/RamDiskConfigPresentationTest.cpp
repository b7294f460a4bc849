// What a row, the context menu, the create/mount/eject command and the memory summary say,
// for each state of a RAM disk.
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"
#include "RamDiskConfigPresentation.h"

#include <gtest/gtest.h>

using P = RamDiskConfigPresentation;

namespace {

QMRamDisk::Ptr record(qint64 status, qint64 backupMode = 0)
{
    // The programs' texts: "Reveal in Finder" reads as the Linux desktop says it.
    QMTranslations::installTranslations();
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setName(QStringLiteral("Work"));
    r->setSize(1024000000ULL);
    r->setStatus(status);
    r->setBackupMode(backupMode);
    if (status == QMRamDiskStatus_mounted) {
        r->setMountDirectory(QStringLiteral("/home/me"));
        r->setPath(QStringLiteral("/home/me/Work"));
        r->setVolSize(1000000000ULL);
        r->setVolFree(600000000ULL);
    }
    return r;
}

// The menu as one line: titles, "-" for separators, "(off)" for disabled items, "[x]" or
// "[ ]" for check items.
QString outline(const QList<P::MenuItem> &items)
{
    QStringList parts;
    for (const P::MenuItem &m : items) {
        if (m.separator) {
            parts << QStringLiteral("-");
            continue;
        }
        QString s = m.title;
        if (m.checkable)
            s += m.checked ? QStringLiteral("[x]") : QStringLiteral("[ ]");
        if (!m.enabled)
            s += QStringLiteral("(off)");
        parts << s;
    }
    return parts.join(QStringLiteral(" | "));
}

} // namespace

TEST(RamDiskContextMenu, ItemsForEveryState)
{
    EXPECT_EQ(outline(P::contextMenuItems(record(0), true, true)),
              QStringLiteral("Open Disk Utility | - | Create | - | Case Sensitive[ ]"));
    EXPECT_EQ(outline(P::contextMenuItems(record(0), false, true)),
              QStringLiteral("Open Disk Utility | - | Create(off) | - | Case Sensitive[ ]"));
    EXPECT_EQ(outline(P::contextMenuItems(record(1), true, true)),
              QStringLiteral("Open Disk Utility | - | Mount | - | Case Sensitive[ ](off)"));
    EXPECT_EQ(outline(P::contextMenuItems(record(1), false, true)),
              QStringLiteral("Open Disk Utility | - | Mount(off) | - | Case Sensitive[ ](off)"));
    // Mounted, without backups: no backup item.
    EXPECT_EQ(outline(P::contextMenuItems(record(2), true, true)),
              QStringLiteral("Open Disk Utility | - | Show in File Manager | - | Eject | Rebuild | Resize…(off) | - | "
                             "Case Sensitive[ ](off)"));
    EXPECT_EQ(outline(P::contextMenuItems(record(2), false, true)),
              QStringLiteral("Open Disk Utility | - | Show in File Manager | - | Eject(off) | Rebuild(off) | Resize…(off) | - | "
                             "Case Sensitive[ ](off)"));
    // Backed up to the default place or a chosen folder.
    for (qint64 mode : {1, 2})
        EXPECT_EQ(outline(P::contextMenuItems(record(2, mode), true, true)),
                  QStringLiteral("Open Disk Utility | - | Show in File Manager | - | Eject | Rebuild | Resize…(off) | Backup Now | "
                                 "- | Case Sensitive[ ](off)"))
            << mode;
    // Base-synchronised: the base is revealed and synchronised, never backed up, and its
    // size is calculated (a mount directory is set).
    EXPECT_EQ(outline(P::contextMenuItems(record(2, 3), true, true)),
              QStringLiteral("Open Disk Utility | - | Show in File Manager | - | Reveal Base Directory | - | Eject | "
                             "Rebuild | Resize…(off) | Synchronise Now | - | Case Sensitive[ ](off) | "
                             "Calculate Base Size[x](off)"));
    // A memory instance changes its size in place; a loop device (above) needs ejecting.
    QMRamDisk::Ptr instance = record(2);
    instance->setDeviceNode(QStringLiteral("quilmo-ram7"));
    EXPECT_EQ(outline(P::contextMenuItems(instance, true, false)),
              QStringLiteral("Show in File Manager | - | Eject | Rebuild | Resize… | - | Case Sensitive[ ](off)"));
    // Without a disk utility installed its item and separator are absent.
    EXPECT_EQ(outline(P::contextMenuItems(record(0), true, false)), QStringLiteral("Create | - | Case Sensitive[ ]"));
}

TEST(RamDiskContextMenu, OptionsFollowTheRecord)
{
    QMRamDisk::Ptr r = record(0, 3);
    r->setMountDirectory(QStringLiteral("/home/me"));
    r->setFormat(QMRamDiskFormat_caseSensitiveHFSPlus);
    r->setDoNotCalculateBaseSize(true);
    EXPECT_EQ(outline(P::contextMenuItems(r, true, false)),
              QStringLiteral("Create | - | Case Sensitive[x] | Calculate Base Size[ ]"));
    // Base-synchronised without a mount directory: nothing to calculate.
    r->setMountDirectory(QString());
    EXPECT_EQ(outline(P::contextMenuItems(r, true, false)), QStringLiteral("Create | - | Case Sensitive[x]"));
    // The simulator preset always has a base.
    // (Decoded: the preset itself is not offered on Linux.)
    QMRamDisk::Ptr sim = QMRamDisk::initWithCoder({{QStringLiteral("type"), qint64(QMRamDiskType_CoreSimulator)},
                                                   {QStringLiteral("identifier"), QStringLiteral("sim")},
                                                   {QStringLiteral("name"), QStringLiteral("Simulators")},
                                                   {QStringLiteral("size"), qint64(1024000000)}});
    EXPECT_TRUE(outline(P::contextMenuItems(sim, true, false)).endsWith(QStringLiteral("Calculate Base Size[x]")));
}

TEST(RamDiskContextMenu, BusyOrMissingRamDiskGivesAnEmptyMenu)
{
    EXPECT_TRUE(P::contextMenuItems(nullptr, true, true).isEmpty());
    for (qint64 action = 1; action <= 7; ++action) {
        QMRamDisk::Ptr r = record(2, 1);
        r->setAction(action);
        EXPECT_TRUE(P::contextMenuItems(r, true, true).isEmpty()) << action;
    }
}

TEST(RamDiskContextMenu, IconsOfTheItems)
{
    QMap<QString, QString> icons;
    for (const P::MenuItem &m : P::contextMenuItems(record(2, 3), true, true))
        if (!m.separator)
            icons.insert(m.title, m.iconTypeCode.isEmpty() ? m.iconName : m.iconTypeCode);
    EXPECT_EQ(icons.value(QStringLiteral("Open Disk Utility")), QStringLiteral("diskUtility"));
    EXPECT_EQ(icons.value(QStringLiteral("Show in File Manager")), QStringLiteral("FNDR"));
    EXPECT_EQ(icons.value(QStringLiteral("Reveal Base Directory")), QString());
    EXPECT_EQ(icons.value(QStringLiteral("Eject")), QStringLiteral("ejec"));
    EXPECT_EQ(icons.value(QStringLiteral("Rebuild")), QStringLiteral("burn"));
    EXPECT_EQ(icons.value(QStringLiteral("Synchronise Now")), QStringLiteral("syncIcon"));
    for (const P::MenuItem &m : P::contextMenuItems(record(0), true, false)) {
        if (m.command == P::Create) {
            EXPECT_EQ(m.iconTypeCode, QStringLiteral("rmov"));
        }
    }
}

TEST(RamDiskRow, PresentationByState)
{
    QMRamDisk::Ptr mounted = record(2);
    P::Row row = P::row(mounted);
    EXPECT_EQ(row.name, QStringLiteral("Work"));
    EXPECT_EQ(row.imageOpacity, 1.0);
    EXPECT_FALSE(row.image.isNull());
    EXPECT_DOUBLE_EQ(row.usage, 0.4);
    EXPECT_EQ(row.subInfo, QMRamDiskFunctions::stringFromBytesWithBin1000Style(1024000000));
    EXPECT_EQ(row.toolTip, QStringLiteral("Name: Work\nStatus: %1\nDirectory: /home/me").arg(mounted->displayStatus()));

    for (qint64 status : {0, 1}) {
        QMRamDisk::Ptr r = record(status);
        r->setMountDirectory(QStringLiteral("/home/me"));
        row = P::row(r);
        EXPECT_DOUBLE_EQ(row.imageOpacity, 0.33) << status;
        EXPECT_EQ(row.usage, -1) << status;
        // The directory is named only while mounted.
        EXPECT_EQ(row.toolTip, QStringLiteral("Name: Work\nStatus: %1").arg(r->displayStatus()));
    }

    // While an action runs: its progress text and no pie, even when mounted.
    mounted->setAction(QMRamDiskAction_backup);
    mounted->setLastActionInfo(QMRamDiskActionInfo_backuping);
    row = P::row(mounted);
    EXPECT_EQ(row.subInfo, QMRamDiskManager::displayStringFromAction(3, 10));
    EXPECT_FALSE(row.subInfo.isEmpty());
    EXPECT_EQ(row.usage, -1);
}

TEST(RamDiskCommand, TitleAndEnablingFollowStatusAndAction)
{
    struct Case { qint64 status; qint64 action; bool valid; const char *title; bool enabled; };
    const Case cases[] = {
        {0, 0, true, "Create", true},   {0, 0, false, "Create", false}, {1, 0, true, "Mount", true},
        {1, 0, false, "Mount", false},  {2, 0, true, "Eject", true},    {0, 1, true, "Create", false},
        {1, 4, true, "Mount", false},   {2, 5, true, "Eject", false},   {2, 7, true, "Eject", false},
        {2, 2, true, "Eject", false},   {2, 3, true, "Eject", false},
        // An action number beyond the known ones counts as idle.
        {2, 9, true, "Eject", true},
    };
    for (const Case &c : cases) {
        QMRamDisk::Ptr r = record(c.status);
        r->setAction(c.action);
        const P::RamDiskCommand command = P::ramDiskCommand(r, c.valid);
        EXPECT_EQ(command.title, QString::fromLatin1(c.title)) << c.status << "/" << c.action;
        EXPECT_EQ(command.enabled, c.enabled) << c.status << "/" << c.action;
    }
    EXPECT_FALSE(P::ramDiskCommand(nullptr, true).enabled);
}

TEST(MemorySummary, TextAndTooltip)
{
    QMMemoryStatistics s;
    s.wired = 2ULL << 30;
    s.free = 10ULL << 30;
    auto b = [](quint64 v) { return QMRamDiskFunctions::stringFromBytesWithBin1024Style(qint64(v)); };
    EXPECT_EQ(P::memorySummary(s), QStringLiteral("%1 wired, %2 free").arg(b(s.wired), b(s.free)));
    s.purgeable = 1ULL << 30;
    EXPECT_EQ(P::memorySummary(s), QStringLiteral("%1 wired, %2 free, %3 purgeable").arg(b(s.wired), b(s.free), b(s.purgeable)));
    s.purgeable = 0;
    s.compressed = 512ULL << 20;
    EXPECT_EQ(P::memorySummary(s), QStringLiteral("%1 wired, %2 free, %3 compressed").arg(b(s.wired), b(s.free), b(s.compressed)));
    s.purgeable = 1ULL << 30;
    const QString all = P::memorySummary(s);
    EXPECT_EQ(P::memorySummaryToolTip(all),
              QStringLiteral("%1 wired\n%2 free\n%3 purgeable\n%4 compressed").arg(b(s.wired), b(s.free), b(s.purgeable),
                                                                                    b(s.compressed)));
}

TEST(RamDiskPresentationText, FillReplacesPlacesInOrderOnly)
{
    EXPECT_EQ(P::fill(QStringLiteral("%@ and %@"), {QStringLiteral("%@"), QStringLiteral("b")}),
              QStringLiteral("%@ and b"));
    EXPECT_EQ(P::fill(QStringLiteral("%@"), {}), QStringLiteral("%@"));
}
