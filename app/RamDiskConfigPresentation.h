#pragma once

#include "QMMacInfo.h"
#include "QMRamDisk.h"

#include <QImage>
#include <QList>
#include <QString>

// What the main window shows of a RAM disk, computed without a screen: a list row and its
// tooltip, the context menu, the create/mount/eject command, the memory summary.
class RamDiskConfigPresentation
{
public:
    struct Row
    {
        QString name;
        QImage image;
        double imageOpacity = 1.0;
        QString subInfo; // null: none
        double usage = -1;
        QString toolTip;
    };

    // The row of a RAM disk: its icon at 48, dimmed unless mounted; while an action runs
    // the action's progress text and no pie, else its size and, when mounted, its usage.
    static Row row(const QMRamDisk::Ptr &ramDisk);
    // "Name: %@", "\nStatus: %@" and, when mounted with a mount directory, "\nDirectory: %@".
    static QString rowToolTip(const QMRamDisk::Ptr &ramDisk);

    // The context menu's commands.
    enum Command {
        OpenDiskUtility = 1,
        Create,
        Mount,
        RevealInFinder,
        RevealBaseDirectory,
        Eject,
        Rebuild,
        SynchroniseNow,
        BackupNow,
        CaseSensitive,
        CalculateBaseSize,
        Resize,
    };

    struct MenuItem
    {
        bool separator = false;
        Command command = OpenDiskUtility;
        QString title;
        bool enabled = true;
        bool checkable = false;
        bool checked = false;
        QString iconTypeCode; // "rmov", "ejec", "FNDR", "burn"
        QString iconName;     // a named 16-point icon: "diskUtility", "syncIcon"
    };

    // The items of the context menu of a RAM disk, in order. Empty for no RAM disk or one
    // that runs an action. `valid`: the RAM disk's settings pass the creation check;
    // `hasDiskUtility`: a disk utility is installed (its item is absent otherwise).
    static QList<MenuItem> contextMenuItems(const QMRamDisk::Ptr &ramDisk, bool valid, bool hasDiskUtility);

    // The one command that creates, mounts or ejects the selected RAM disk (the toolbar's).
    struct RamDiskCommand
    {
        Command command = Create;
        QString title;
        QString iconTypeCode;
        bool enabled = false;
    };
    static RamDiskCommand ramDiskCommand(const QMRamDisk::Ptr &ramDisk, bool valid);

    // What the question before a removal says: that a RAM disk that exists is ejected, and
    // what becomes of its backup in Quilmo's folder (`backupBytes` large, holding files or
    // not; filled by the eject first when `savesToAppSupport`): it goes to the trash.
    static QString removalText(bool created, bool savesToAppSupport, bool backupHoldsFiles, quint64 backupBytes);

    // "%@ wired, %@ free" with ", %@ purgeable" and ", %@ compressed" when not 0; and the
    // tooltip, one item a line.
    static QString memorySummary(const QMMemoryStatistics &statistics);
    // Shorter summaries for a narrow window, longest first: compressed goes first, then
    // purgeable, then wired; the free memory stays.
    static QStringList shorterMemorySummaries(const QMMemoryStatistics &statistics);
    static QString memorySummaryToolTip(const QString &summary);

    // Fills the "%@" places of a text in order.
    static QString fill(QString text, const QStringList &values);
    // A text of the string table "QMRamDiskLocalizable" (or the default one).
    static QString localized(const char *key);
    static QString localizedDefault(const char *key);
};
