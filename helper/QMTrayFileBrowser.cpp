#include "QMTrayFileBrowser.h"

#include "QMAlert.h"
#include "QMFileRemover.h"
#include "QMFolderListing.h"
#include "QMLog.h"
#include "QMStatusMenuItems.h"
#include "QMTranslations.h"
#include "QMVolumeRoot.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QLocale>
#include <QMenu>
#include <QMimeDatabase>
#include <QStyle>
#include <QUrl>

#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a folder submenu and its "Remove this Folder" item act on.
const char *const kRamDiskProperty = "qmRamDisk";
const char *const kFolderProperty = "qmFolder";

QString localized(const char *key)
{
    return QMTranslations::localizedString(key);
}

QByteArray childPath(const QByteArray &relative, const QByteArray &name)
{
    return relative.isEmpty() ? name : relative + '/' + name;
}

QString absolutePath(const QMRamDisk::Ptr &ramDisk, const QByteArray &relative)
{
    const QString root = ramDisk->path();
    return relative.isEmpty() ? root : root + QLatin1Char('/') + QFile::decodeName(relative);
}

QIcon entryIcon(const QString &name, QMFolderListing::Kind kind)
{
    // The icon of the file's type from the icon theme; a generic one otherwise. The type is
    // told by the name only, so a folder of thousands of files is not read to show it.
    static QMimeDatabase mimeDatabase;
    const QMimeType type = kind == QMFolderListing::Folder ? mimeDatabase.mimeTypeForName(QStringLiteral("inode/directory"))
                           : kind == QMFolderListing::Link ? mimeDatabase.mimeTypeForName(QStringLiteral("inode/symlink"))
                                                           : mimeDatabase.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(kind == QMFolderListing::Folder ? QStyle::SP_DirIcon
                                                   : kind == QMFolderListing::Link ? QStyle::SP_FileLinkIcon
                                                                                   : QStyle::SP_FileIcon);
    return icon;
}

} // namespace

QMTrayFileBrowser::QMTrayFileBrowser(RamDiskLookup lookup, MenuFactory newMenu, QObject *parent)
    : QObject(parent), _lookup(std::move(lookup)), _newMenu(std::move(newMenu))
{
}

bool QMTrayFileBrowser::isFolderMenu(const QMenu *menu)
{
    return menu && menu->property(kFolderProperty).isValid();
}

void QMTrayFileBrowser::addRootEntries(QMenu *menu, const QMRamDisk::Ptr &ramDisk)
{
    QString why;
    const QMUniqueFd root = QMVolumeRoot::open(ramDisk->path(), ramDisk->identifier(), &why);
    if (!root.isValid())
        QM_LogErrorMethod(this, QStringLiteral("isRamDiskVolume==NO path:%1 error:%2").arg(ramDisk->path(), why));
    addEntries(menu, ramDisk, root.get(), QByteArray(), true);
}

void QMTrayFileBrowser::fillFolderMenu(QMenu *menu)
{
    menu->clear();
    const QString identifier = menu->property(kRamDiskProperty).toString();
    const QByteArray relative = menu->property(kFolderProperty).toByteArray();
    const QMRamDisk::Ptr ramDisk = _lookup(identifier);
    if (!ramDisk || ramDisk->status() != QMRamDiskStatus_mounted)
        return;

    auto *remove = new QAction(localized("Remove this Folder"), menu);
    remove->setObjectName(QStringLiteral("Remove this Folder"));
    remove->setProperty(kRamDiskProperty, identifier);
    remove->setProperty(kFolderProperty, relative);
    connect(remove, &QAction::triggered, this, [this, remove] { removeFolder(remove); });
    menu->addAction(remove);

    QString why;
    QMUniqueFd folder;
    const QMUniqueFd root = QMVolumeRoot::open(ramDisk->path(), identifier, &why);
    if (root.isValid())
        folder = QMVolumeRoot::openBeneath(root.get(), relative, O_RDONLY | O_DIRECTORY, &why);
    if (!folder.isValid())
        QM_LogErrorMethod(this, QStringLiteral("contentsOfDirectoryAtPath==nil path:%1 error:%2")
                                    .arg(absolutePath(ramDisk, relative), why));
    addEntries(menu, ramDisk, folder.get(), relative, false);
}

void QMTrayFileBrowser::addEntries(QMenu *menu, const QMRamDisk::Ptr &ramDisk, int dirFd, const QByteArray &relative,
                                   bool volumeRoot)
{
    const QMFolderListing::Listing listing = dirFd >= 0 ? QMFolderListing::list(dirFd, volumeRoot, maximumListed)
                                                        : QMFolderListing::Listing();
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    for (const QMFolderListing::Entry &entry : listing.entries)
        addEntry(menu, ramDisk, dirFd, relative, entry.name, entry.raw, entry.kind);
    if (listing.truncated) {
        auto *more = new QAction(QStringLiteral("\u2026"), menu);
        more->setObjectName(more->text());
        const QString path = absolutePath(ramDisk, relative);
        connect(more, &QAction::triggered, this, [this, path] { open(path); });
        menu->addAction(more);
    }
    if (listing.entries.isEmpty()) {
        auto *none = new QAction(localized("(No File Here)"), menu);
        none->setObjectName(QStringLiteral("(No File Here)"));
        none->setEnabled(false);
        menu->addAction(none);
    }
}

QAction *QMTrayFileBrowser::addEntry(QMenu *menu, const QMRamDisk::Ptr &ramDisk, int dirFd, const QByteArray &relative,
                                     const QString &name, const QByteArray &raw, int kind)
{
    const QByteArray entryRelative = childPath(relative, raw);
    const QString path = absolutePath(ramDisk, entryRelative);
    auto *action = new QAction(QMStatusMenuItems::escapedMenuText(name), menu);
    action->setObjectName(path);
    action->setIcon(entryIcon(name, QMFolderListing::Kind(kind)));
    action->setIconVisibleInMenu(true);
    connect(action, &QAction::triggered, this, [this, path] { open(path); });

    if (kind == QMFolderListing::Link) {
        // What it points to, for the eye only: it is never browsed into.
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = readlinkat(dirFd, raw.constData(), target.data(), size_t(target.size()));
        if (n >= 0)
            action->setToolTip(localized("Link to %1").arg(QFile::decodeName(target.left(n))));
    } else if (kind == QMFolderListing::Folder) {
        QMenu *submenu = _newMenu(path);
        submenu->setProperty(kRamDiskProperty, ramDisk->identifier());
        submenu->setProperty(kFolderProperty, entryRelative);
        connect(action, &QObject::destroyed, submenu, &QObject::deleteLater);
        action->setMenu(submenu);
    }
    menu->addAction(action);
    return action;
}

void QMTrayFileBrowser::open(const QString &path)
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        QM_LogErrorMethod(this, QStringLiteral("openFile==NO path:%1").arg(path));
}

void QMTrayFileBrowser::refuse(const QString &folder, const QString &why)
{
    QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO sender.representedObject:%1 error:%2").arg(folder, why));
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMRemoveFolderRefusedAlert");
    alert.icon = QMessageBox::Warning;
    alert.messageText = localized("The folder “%1” was not removed.").arg(folder);
    alert.informativeText = why;
    QMAlert::runModal(alert);
}

void QMTrayFileBrowser::removeFolder(QAction *item)
{
    if (!item)
        return;
    const QString identifier = item->property(kRamDiskProperty).toString();
    const QByteArray relative = item->property(kFolderProperty).toByteArray();
    const QMRamDisk::Ptr ramDisk = _lookup(identifier);
    if (!ramDisk || relative.isEmpty())
        return;
    const QString shown = absolutePath(ramDisk, relative);
    if (ramDisk->status() != QMRamDiskStatus_mounted) {
        refuse(shown, localized("The RamDisk is not mounted"));
        return;
    }

    // The RAM disk's root now, and the folder and its parent beneath it, with no symbolic
    // link anywhere on the way.
    QString why;
    const QMUniqueFd root = QMVolumeRoot::open(ramDisk->path(), identifier, &why);
    const qsizetype slash = relative.lastIndexOf('/');
    const QByteArray parentRelative = slash < 0 ? QByteArray() : relative.left(slash);
    const QByteArray name = relative.mid(slash + 1);
    QMUniqueFd parent, folder;
    if (root.isValid())
        parent = QMVolumeRoot::openBeneath(root.get(), parentRelative, O_RDONLY | O_DIRECTORY, &why);
    if (parent.isValid())
        folder = QMVolumeRoot::openBeneath(root.get(), relative, O_RDONLY | O_DIRECTORY, &why);
    if (!folder.isValid()) {
        refuse(shown, why);
        return;
    }

    const quint64 items = QMFileRemover::countContents(folder.get());
    QMAlertRequest confirm;
    confirm.objectName = QStringLiteral("QMRemoveFolderAlert");
    confirm.icon = QMessageBox::Warning;
    confirm.messageText = localized("Remove the folder “%1”?").arg(QFile::decodeName(name));
    confirm.informativeText =
        (items == 0   ? localized("It is empty.")
         : items == 1 ? localized("It holds 1 item.")
                      : localized("It holds %1 items.").arg(QLocale().toString(items)))
        + QLatin1Char(' ') + localized("It is deleted at once. This cannot be undone.");
    confirm.buttons = {localized("Cancel"), localized("Remove Folder")};
    if (QMAlert::runModal(confirm) != 1)
        return;

    // What goes is the folder the question was about: its name must still lead to it.
    struct stat held {}, now {};
    if (fstat(folder.get(), &held) != 0 || fstatat(parent.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0
        || held.st_dev != now.st_dev || held.st_ino != now.st_ino) {
        refuse(shown, localized("It was moved or replaced after the question."));
        return;
    }
    const QMFileRemover::Result removal = QMFileRemover::removeEntry(parent.get(), name, shown);
    if (removal.ok())
        return;
    QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO sender.representedObject:%1 error:%2")
                                .arg(shown, removal.summary()));
    QMAlertRequest failed;
    failed.objectName = QStringLiteral("QMRemoveFolderFailedAlert");
    failed.icon = QMessageBox::Warning;
    failed.messageText = localized("Some items of “%1” could not be removed.").arg(QFile::decodeName(name));
    failed.informativeText = removal.summary();
    QMAlert::runModal(failed);
}
