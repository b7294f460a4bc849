#pragma once

#include "QMMacInfo.h"
#include "QMRamDisk.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What an item of the status menu does when chosen.
enum class QMStatusMenuSelector {
    None,
    OpenRamDiskApp,
    OpenRamDisk,
    PurgeMacMemory,
    PerformAllAction,
    StatusEject,
    Rebuild,
    StatusMount,
    Menu,
    BackupNow,
    CleanUp,
    CleanFolder,
    OpenFile,
    QuitHelper,
    Grow, // the item's tag is the new size in bytes
};

// One item of a status menu, as the menu builder turns it into a menu entry.
struct QMStatusMenuItem
{
    enum Kind { Item, Separator, RamDiskRow };

    Kind kind = Item;
    QString key;   // the untranslated title; also the item's object name
    QString title; // the text shown
    QMStatusMenuSelector selector = QMStatusMenuSelector::None;
    qint64 tag = 0;
    bool enabled = true;
    QString toolTip;
    // A type code ("rmov", "ejec", "burn", "ftrh"), a named icon ("syncIcon"), or
    // "QuilmoApp" for the main application's icon; empty for none.
    QString iconName;
    QMRamDisk::Ptr ramDisk; // rows and the items of a RAM disk's submenu
    QString path;           // file and folder items
};

// What the status menu holds, what is enabled and what it acts on, computed from the
// records alone so that it can be checked without a screen. Call on the main thread.
class QMStatusMenuItems
{
public:
    // A mounted RAM disk used beyond this fraction turns the status icon into a warning.
    static constexpr double warningUsage = 0.8;

    // The root menu: "Open Quilmo", the memory block (when `memory` is given), "Free Up
    // Inactive Memory" (when `canPurge`), the all-disk actions and one row per RAM disk (or
    // "No RamDisk"), "Quit Quilmo Menu".
    static QList<QMStatusMenuItem> rootMenu(const QList<QMRamDisk::Ptr> &ramDisks,
                                            const std::optional<QMMemoryStatistics> &memory, bool canPurge);

    // The items of one RAM disk's submenu, by its status: a mounted one opens its folder
    // first, then its actions; the validity and running-application checks decide what
    // is enabled and give the tooltips. While an action runs, a disabled line says which
    // and every action waits for it.
    static QList<QMStatusMenuItem> ramDiskMenu(const QMRamDisk::Ptr &ramDisk);

    // The size "Grow to N" offers a RAM disk: the next size step, for a mounted memory
    // instance used beyond warningUsage (when the icon turns red) that can take it; 0 when
    // there is none to offer.
    static quint64 growTarget(const QMRamDisk::Ptr &ramDisk);
    // What a RAM disk's row says under its name: the running action's progress, or when
    // a mounted one with a backup was last saved (`now` in seconds since 1970); empty
    // otherwise.
    static QString rowStateLine(const QMRamDisk::Ptr &ramDisk, double now);
    // The row's text where the desktop draws the menu (text and icon only): "Name — state".
    static QString rowText(const QMRamDisk::Ptr &ramDisk, double now);

    // Mounted and idle, and kept in step with its base (CoreSimulator or backup mode 3).
    static bool isSynchronizingCandidate(const QMRamDisk::Ptr &ramDisk);
    // Mounted and idle, not a synchronising candidate, backup mode 1 or 2.
    static bool isBackupCandidate(const QMRamDisk::Ptr &ramDisk);

    // The RAM disks an all-disk action (tag 1 create, 2 eject, 3 synchronise, 4 back up)
    // acts on, in list order; none for any other tag. Create and eject leave out a RAM disk
    // whose application runs, and every tag one that is busy with another action.
    static QList<QMRamDisk::Ptr> targetsOfAllAction(qint64 tag, const QList<QMRamDisk::Ptr> &ramDisks);

    // True when an idle, mounted RAM disk is used strictly beyond warningUsage.
    static bool diskWarning(const QList<QMRamDisk::Ptr> &ramDisks);

    // Menu texts take "&" as the mark of a shortcut letter; a file or RAM disk name shows
    // its own "&" unchanged.
    static QString escapedMenuText(const QString &text);

    // "<label><LOC_:> <bytes>", indented two levels.
    static QString memoryLine(const char *labelKey, quint64 bytes);
};
