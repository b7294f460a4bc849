#pragma once

#include "QMRamDisk.h"

#include <QObject>

#include <functional>

class QAction;
class QMenu;

// The browsable tree of a mounted RAM disk's files in the tray menu: its folders as
// submenus, each with "Remove this Folder", and its files and links as items that open
// them.
//
// A folder is known by its RAM disk and its path inside it, never by a path kept from
// when the menu was built: listing and removing open the RAM disk's root at that moment
// (checked to be its volume) and resolve the folder beneath it without passing through
// any symbolic link, so a folder swapped for a link meanwhile is refused, not followed.
// Links are listed as links: the tree never leads into what they point to.
class QMTrayFileBrowser : public QObject
{
    Q_OBJECT

public:
    // The record the store keeps now for an identifier (null when none).
    using RamDiskLookup = std::function<QMRamDisk::Ptr(const QString &identifier)>;
    // A new, empty submenu that is filled by fillFolderMenu() each time it opens.
    using MenuFactory = std::function<QMenu *(const QString &title)>;

    // Folder submenus stop after this many names, so that a RAM disk full of cache files
    // opens its menu at once; the rest is reached through the file manager ("…").
    static constexpr int maximumListed = 250;

    QMTrayFileBrowser(RamDiskLookup lookup, MenuFactory newMenu, QObject *parent = nullptr);

    // Appends the files and folders at the root of a mounted RAM disk to `menu`.
    void addRootEntries(QMenu *menu, const QMRamDisk::Ptr &ramDisk);
    // Whether `menu` is a folder submenu made here.
    static bool isFolderMenu(const QMenu *menu);
    // Fills a folder submenu anew: "Remove this Folder", then the folder's entries.
    void fillFolderMenu(QMenu *menu);

    // "Remove this Folder": asks first (Cancel is the default), naming the folder and how
    // many items it holds, then removes it, and tells what could not be removed.
    void removeFolder(QAction *item);

private:
    void addEntries(QMenu *menu, const QMRamDisk::Ptr &ramDisk, int dirFd, const QByteArray &relative,
                    bool volumeRoot);
    QAction *addEntry(QMenu *menu, const QMRamDisk::Ptr &ramDisk, int dirFd, const QByteArray &relative,
                      const QString &name, const QByteArray &raw, int kind);
    void refuse(const QString &folder, const QString &why);
    void open(const QString &path);

    RamDiskLookup _lookup;
    MenuFactory _newMenu;
};
