#pragma once

#include "QMRamDisk.h"
#include "QMSimDevice.h"

#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// What the editor pane shows of the selected RAM disk, computed without a screen: the items
// of its three menus, what may be edited in its state, the create/mount/eject button and
// the progress line, and the capacity's units. The pane only puts these on its widgets.
class RamDiskEditorPresentation
{
public:
    // Tags of the mount-point menu.
    enum MountTag { MountDefault = 0, MountChoose = 1, MountDirectory = 2 };
    // Tags of the backup menu (custom RAM disks).
    enum BackupTag { BackupDisabled = 0, BackupDefault = 1, BackupChosen = 2, BackupChoose = 3, BackupBase = 4 };

    struct MenuItem
    {
        bool separator = false;
        QString title;
        int tag = 0;
        bool enabled = true;
        bool indented = false;
        QString toolTip;
        QString path;      // mount-point and backup menus: the directory of the item
        QString simDirId;  // type menu: the simulator device of the item
        qint64 imageType = -1; // type menu: the image of that RAM-disk type
        QString iconName;  // a named icon: "computer"
    };

    struct Menu
    {
        QList<MenuItem> items;
        int selected = -1; // index into items; -1 none
        bool enabled = true;
    };

    // ---- Type menu ----
    // Custom, then the browsers, then the developer presets, each preset at most once in
    // the list of RAM disks (`all`), simulator devices after the CoreSimulator entry.
    static Menu typeMenu(const QMRamDisk::Ptr &ramDisk, const QList<QMRamDisk::Ptr> &all,
                         const QList<QMSimDevice> &devices);
    // One entry (addType:identifier:key:currentType:separator:inMenu:): added enabled,
    // added disabled, or not added (neither it nor its separator); true when added.
    static bool addType(qint64 type, const QString &identifier, const char *key, qint64 currentType, bool separator,
                        const QList<QMRamDisk::Ptr> &all, Menu *menu);

    // ---- Mount-point menu ----
    // "Default (Recommended)" and "Choose…" for the custom type, then the mount directory
    // and each of its parents up to "/".
    static Menu mountPointMenu(const QString &mountDirectory, qint64 type, qint64 action, qint64 status);

    // ---- Backup menu ----
    struct Backup
    {
        Menu menu;
        QString text;        // the explanatory text
        bool visible = true; // label, menu and text
    };
    static Backup backup(const QMRamDisk::Ptr &ramDisk);
    // The record's backup mode for a tag; -1 for "Choose…".
    static qint64 backupModeForTag(int tag);

    // ---- "Save every" menu ----
    // Whether the RAM disk is saved anywhere (a backup folder, or its base): only then has
    // the schedule a meaning.
    static bool saves(const QMRamDisk::Ptr &ramDisk);
    // "Off", "5 minutes", ... 60 minutes, tagged with their seconds; "Off" selected for a
    // RAM disk that is saved nowhere. An interval from the file that is none of these shows
    // as an item of its own, tagged AutoSaveKept, so that a refresh does not change it.
    enum AutoSaveTag { AutoSaveKept = -1 };
    static Menu autoSaveMenu(const QMRamDisk::Ptr &ramDisk);
    static QString autoSaveTitle(qint64 seconds);
    // The interval after an edit that may have given or taken the RAM disk's save: one that
    // comes to be saved starts at 15 minutes, one that no longer is stops; else unchanged.
    static qint64 autoSaveIntervalAfterEdit(const QMRamDisk::Ptr &ramDisk, bool savedBefore);

    // ---- Options ----
    // "Prefer Wired Memory" shows where the kernel can keep a RAM disk out of swap; the
    // options label then reads "Options", else "Auto-Create".
    static bool preferWiredShown();
    static const char *optionsLabelKey();
    // Said of a RAM disk whose names tell upper from lower case although its format asks
    // for case-insensitive ones (the kernel has no case folding); empty otherwise.
    static QString caseNote(const QMRamDisk::Ptr &ramDisk);

    // ---- Enabling ----
    struct State
    {
        bool busy = false;
        bool image = true;
        bool type = true;
        bool name = true;
        bool capacity = true;      // slider, usage indicator, value text
        bool sliderVisible = true; // not mounted, or mounted where it can be resized
        bool usageVisible = false; // mounted: the usage indicator (under the slider, or alone)
        bool resizeVisible = false; // mounted as a memory instance: the Resize button
        bool mountPoint = true;
        bool createAtLogin = true;
        bool preferWired = true;
        bool postCommand = true;
        bool indexing = true;
        bool backup = true;
        bool autoSave = true; // as the backup, and only when the RAM disk is saved somewhere
    };
    static State state(const QMRamDisk::Ptr &ramDisk);

    // ---- Button and progress line ----
    struct Command
    {
        QString title;       // "Create", "Mount", "Eject"
        bool enabled = false;
        bool animating = false; // the spinner
        QString progress;    // the progress line
        bool progressIsActive = false; // the action's text (normal colour); else grey
        bool progressIsSaveDate = false; // "Saved 3 minutes ago": goes stale with time
    };
    // Idle, the line of a RAM disk that is saved somewhere tells when it was saved last, as
    // of `now` (seconds since 1970), unless the settings are wrong. `otherProgram`: the
    // action (and step) another program runs on it, shown as this program's own would be.
    static Command command(const QMRamDisk::Ptr &ramDisk, double now,
                           std::optional<QPair<qint64, qint64>> otherProgram = std::nullopt);
    static Command command(const QMRamDisk::Ptr &ramDisk,
                           std::optional<QPair<qint64, qint64>> otherProgram = std::nullopt);

    // ---- Capacity ----
    // The Resize button of a mounted RAM disk whose slider stands at `size`: enabled while
    // idle and `size` is another size the volume can take now; the tool tip says why not.
    struct Resize
    {
        bool enabled = false;
        QString toolTip;
    };
    static Resize resize(const QMRamDisk::Ptr &ramDisk, quint64 size);
    static int sliderMinimum() { return 256; }
    // Three quarters of the physical memory, in units of 1,000,000 bytes.
    static int sliderMaximum(quint64 physicalMemory);
    // Bytes of a slider value: raised to the next multiple of 128,000,000.
    static quint64 sizeForSliderValue(double value);
    // "%.0f Mo" of a size in bytes.
    static QString sizeText(quint64 size);
    // "Free: %@\nUsed: %@"
    static QString usageToolTip(quint64 size, quint64 volFree);

    // ---- Places ----
    // A directory's name as the file manager shows it: "Computer" for "/", "Home" for the
    // home directory, else its last component.
    static QString displayNameOfPath(const QString &path);
    // The icon-theme name of a directory: the XDG user directories and the home have their
    // own, "/" is the computer, any other folder the generic folder.
    static QString iconNameOfPath(const QString &path);
    // Where the RAM disk's volume is, or with `planned` also where it will be: its mount
    // point when it exists, else the place its settings give (the default volumes
    // directory without a mount directory). Null when there is none.
    static QString volumePath(const QMRamDisk::Ptr &ramDisk, bool planned);
    // True when `path` is the RAM disk's volume or lies inside it (symbolic links followed),
    // with the message for the user: what is written there is lost at eject.
    static bool isInsideRamDisk(const QString &path, const QMRamDisk::Ptr &ramDisk, bool planned, QString *message);
};
