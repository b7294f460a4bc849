#pragma once

#include "QMRamDiskEntries.h"
#include "QMStatusMenuItems.h"
#include "StatusItemView.h"

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <memory>

class HelperSaveGuard;
class QAction;
class QMStatusItem;
class QMenu;
class QMTrayFileBrowser;
class QTimer;
class QWidgetAction;

// The helper's tray icon and the menu behind it. The menu is rebuilt from the entries file
// each time it opens: "Open Quilmo", the memory report, freeing inactive memory, the
// all-disk actions, one row per RAM disk with a submenu of its actions and a browsable
// tree of its files, "Quit Quilmo Menu". While it is open its rows follow their RAM disks
// (a save that starts, an action's progress). The icon turns into a warning while a
// mounted RAM disk is more than 80 % full, and follows the icon style chosen in Quilmo.
//
// Everything here runs on the main thread; actions run on the engine's worker threads and
// their reports come back queued.
class StatusMenuController : public QObject,
                             public QMRamDiskEntriesDelegate,
                             public QMRamDiskActionDelegateProtocol,
                             public StatusItemViewDelegate
{
    Q_OBJECT

public:
    static QString rootMenuTitle();    // "StatusItemMenu"
    static QString ramDiskMenuTitle(); // "RamDiskMenu"
    static QString iconStyleKey();     // "StatusItemIconStyle"
    static QString iconStyleNotificationName(); // "QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification"

    // `init`: the icon style from Quilmo's preferences, the status view, the tray icon with
    // its root menu, the store read from the entries file and refreshed every second, the
    // disk warning, and the two notifications observed. Without `entries` the controller
    // makes its own store; a given one (the helper's, which outlives the menu) is used and
    // left as it is when the controller goes.
    explicit StatusMenuController(QObject *parent = nullptr, QMRamDiskEntries *entries = nullptr);
    ~StatusMenuController() override;

    // Waits for the actions started here (at most 30 s); before the helper quits.
    void wantTerminate();
    // Writes the store's list to the entries file.
    void synchronizeRamDiskEntries();
    // Re-reads the entries file unless an action of this store runs (then logs
    // "hasRunningAction==YES"); true when it was read.
    bool reloadRamDiskEntries();
    void updateDiskWarning();

    // StatusItemViewDelegate: pops the root menu up under the tray icon, or at the pointer.
    void statusItemViewPressed(StatusItemView *view) override;

    // The rows of the root menu show their RAM disks as they are now (text, icon, busy
    // state, enabled); a RAM disk submenu whose RAM disk became busy or idle is filled
    // again. A list that gained, lost or reordered RAM disks is rebuilt unless Qt shows it.
    void refreshRows();

    // QMRamDiskActionDelegateProtocol and QMRamDiskEntriesDelegate: reports of actions
    // started here, on the action's thread, handed on with the snapshot of their moment.
    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override;
    void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override;
    void ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskDidUpdated) override;
    void ramDiskEntriesDidReport(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDisk,
                                 const QMRamDiskReport &report) override;
    void ramDiskEntriesUpdator(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskUpdated) override;

    // Notification handlers.
    void n_ramDiskEntriesDidChangeToAllNotification(const QString &sender);
    void n_preferencesStatusItemIconStyleDidChange(const QString &name, const QString &object,
                                                   const QVariantMap &userInfo);

    // What a menu lists: "StatusItemMenu", "RamDiskMenu" or a directory's path.
    static QString menuTitle(const QMenu *menu);

    // Menu delegate: fill a menu before it shows, and the root menu's opening and closing.
    void menuNeedsUpdate(QMenu *menu);
    void menuWillOpen(QMenu *menu);
    void menuDidClose(QMenu *menu);
    void loadRamDiskListMenu(QMenu *menu);
    void loadDirectoryMenu(QMenu *menu);
    // The RAM disks' files and folders in their submenus.
    QMTrayFileBrowser *fileBrowser();

    // Item actions; each receives the chosen item.
    void mi_openRamDiskApp(QAction *sender);
    void mi_openRamDisk(QAction *sender);
    void mi_purgeMacMemory(QAction *sender);
    void mi_performAllAction(QAction *sender);
    void mi_statusEject(QAction *sender);
    void mi_rebuild(QAction *sender);
    void mi_grow(QAction *sender);
    void mi_statusMount(QAction *sender);
    void mi_menu(QAction *sender);
    void mi_backupNow(QAction *sender);
    void mi_cleanUp(QAction *sender);
    void mi_cleanFolder(QAction *sender);
    void mi_openFile(QAction *sender);
    void mi_quitHelper(QAction *sender);

    QMenu *rootMenu() const { return _rootMenu; }
    StatusItemView *statusItemView() const { return _statusItemView; }
    QMStatusItem *statusItem() const { return _statusItem; }
    QMRamDiskEntries *ramDiskEntries() const { return _ramDiskEntries; }

    // $XDG_CONFIG_HOME/quilmo/Quilmo.conf, and its icon style (0 when missing).
    static QString mainPreferencesFilePath();
    static qint64 readStatusItemIconStyle();

    // Tells the user something through the tray (a notification or a balloon), and
    // userNotified() in any case.
    void showMessage(const QString &title, const QString &text);
    // Failures of the saves `guard` runs (its schedule, and before the machine goes) are
    // the guard's to tell, once; the menu does not show them again.
    void leaveSaveFailuresTo(const HelperSaveGuard *guard);

signals:
    // "Quit Quilmo Menu" was chosen.
    void quitRequested();
    // An action started here ended with an error or a warning the user must hear of.
    void userNotified(const QString &title, const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void mt_ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report);
    QMenu *newMenu(const QString &title, QMenu *representing = nullptr);
    void watchMenu(QMenu *menu);
    void addItems(QMenu *menu, const QList<QMStatusMenuItem> &items);
    QAction *addItem(QMenu *menu, const QMStatusMenuItem &item);
    QAction *addRamDiskRow(QMenu *menu, const QMStatusMenuItem &item);
    void perform(QMStatusMenuSelector selector, QAction *sender);
    QMRamDisk::Ptr ramDiskOfItem(QAction *sender) const;
    // Starts an action on the store for a menu item, unless the RAM disk became busy.
    void startAction(qint64 action, const QMRamDisk::Ptr &ramDisk);
    QIcon iconNamed(const QString &name);
    void openPath(const QString &path);
    void updateStatusItemIcon();
    void showRow(QWidgetAction *row, const QMRamDisk::Ptr &ramDisk, double now);

    QMRamDiskEntries *_ramDiskEntries = nullptr;
    bool _ownsEntries = false;
    QPointer<const HelperSaveGuard> _saveGuard;
    StatusItemView *_statusItemView = nullptr;
    QMStatusItem *_statusItem = nullptr;
    QMenu *_rootMenu = nullptr;
    QTimer *_rowRefresh = nullptr;
    bool _buildingRootMenu = false;
    QMTrayFileBrowser *_fileBrowser = nullptr;
    QMetaObject::Connection _observation;
    // What actions started directly on a record report to: it outlives this controller
    // and lets go of it when it goes, so a late report reaches nobody.
    std::shared_ptr<QMRamDiskActionDelegateProtocol> _actionDelegate;
};
