#pragma once

#include "QMCrashReporter.h"
#include "QMRamDiskEntries.h"

#include <QHash>
#include <QPair>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class MainSplitView;
class PostCmdWindowController;
struct QMAlertRequest;
class QAction;
class QLabel;
class QMBoxHighlightable;
class QMenu;
class QMSegmentedControl;
class QMTextOverLabel;
class QPushButton;
class QTableView;
class QTimer;
class RamDiskConfigBarView;
class RamDiskEditorPane;
class RamDiskListModel;

// The main window's contents: the list of RAM disks on the left, the editor pane of the
// selected one (or a placeholder) on the right, and the bottom bar with the add/remove
// control, the memory summary and the purge button. It owns the program's entries store and
// is the only place in Quilmo that starts RAM-disk actions. It refreshes itself once a
// second, saves the list 0.5 s after the last edit and at once after an action, tells the
// other programs about every save, and reloads when another program announces one (after
// its own action, when one runs), keeping the record objects that editors hold.
//
// The editor pane belongs here too: `_ramDiskView` is its widget, prepareRamDiskView()
// builds its controls once and updateRamDiskView() rebuilds them from the selected RAM disk
// (updateUIWithOptions() bit 1).
class RamDiskConfigController : public QWidget, public QMRamDiskEntriesDelegate
{
    Q_OBJECT

public:
    // Bits of updateUIWithOptions(); 0 means everything.
    enum UpdateOption {
        UpdateEverything = 0,
        UpdateRamDiskView = 1,   // the editor pane
        UpdateRamDiskList = 2,   // reload the list, restore a saved selection
        UpdateWithoutMacInfo = 4 // leave the memory summary alone
    };

    explicit RamDiskConfigController(QWidget *parent = nullptr);
    ~RamDiskConfigController() override;

    // ---- Refresh ----
    // The first call creates and loads the store and starts the one-second timers.
    void updateUI();
    void updateUIWithOptions(int options);
    void startAutoUpdateUI();
    void stopAutoUpdateUI();
    bool isAutoUpdating() const;
    // The RAM disk of the selected row, or none; selecting none (or one not in the list)
    // clears the selection.
    QMRamDisk::Ptr selectedRamDisk() const;
    void setSelectedRamDisk(const QMRamDisk::Ptr &ramDisk);
    QMRamDiskEntries *ramDiskEntries() const { return _ramDiskEntries; }

    // ---- User commands ----
    void createNewRamDisk();
    // Segment 0 adds a RAM disk, segment 1 removes the selected one (asking first when it
    // may hold files).
    void plusMoinSegAction(int segment);
    void ejectAndRemoveRamDisk(const QMRamDisk::Ptr &ramDisk);
    // Fills the list's context menu for the row last clicked (`clickedRow`).
    void menuNeedsUpdate(QMenu *menu);
    void setClickedRow(int row) { _clickedRow = row; }
    void mi_rightMenu(QAction *item);
    void textOverLabelPressed();
    void purgeMemory();
    // Creates, mounts or ejects the selected RAM disk, by its status.
    void performRamDiskCommand();
    // The drop of a dragged RAM disk into the gap before `row`.
    bool moveRamDisk(int row, const QString &identifier);

    // ---- Saving ----
    void synchronizeRamDiskEntriesDelayed();
    bool hasPendingSave() const;
    void synchronizeRamDiskEntries();
    // The list, then the selected RAM disk's identifier under "SelectedRamDisk.identifier".
    void synchronize();

    // ---- Application events ----
    // Before quitting: waits for running actions and stops the refresh.
    void wantTerminate();
    // At quit: quits the helper unless it stays in the menu bar at login.
    void applicationWillTerminate();

    // ---- The menu-bar helper ----
    bool helperIsRunning() const;
    void setHelperIsRunning(bool running);
    bool helperIsAtLogin() const;
    void setHelperIsAtLogin(bool atLogin);

    // ---- The store's callbacks ----
    void ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskDidUpdated) override;
    void ramDiskEntriesDidReport(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDisk,
                                 const QMRamDiskReport &report) override;
    void ramDiskEntriesUpdator(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDiskUpdated) override;
    // `fromThisProcess`: this window's own announcement, which it never reloads on.
    void n_ramDiskEntriesDidChangeToAllNotification(const QString &sender, bool fromThisProcess = false);
    // Another program's action on the RAM disk (action, step), as its lock says; none when
    // no other program works on it.
    std::optional<QPair<qint64, qint64>> otherProgramAction(const QString &identifier) const;

    void updateUIMacInfo();
    void updateUITimer();

    // Shows `view` in the right pane (the editor or the placeholder).
    void setSplitViewContent(QWidget *view);
    QWidget *splitViewContent() const;

    // ---- The editor pane ----
    // Builds the pane's controls, once, when the view is made.
    void prepareRamDiskView();
    // Rebuilds the pane from the selected RAM disk; the placeholder when there is none.
    void updateRamDiskView();
    // The height the window's contents need so that no control of the pane is clipped.
    int neededContentHeight() const;
    RamDiskEditorPane *ramDiskEditorPane() const { return _editorPane; }
    // The post-command sheet closed: the pane shows what it changed.
    void postCmdWindowControllerDidEnd(PostCmdWindowController *controller);

    // The commands the window's toolbar shows: add, remove, and create/mount/eject.
    QAction *addRamDiskAction() const { return _addAction; }
    QAction *removeRamDiskAction() const { return _removeAction; }
    QAction *ramDiskCommandAction() const { return _ramDiskCommandAction; }

    // The RAM disks for a problem report: sizes and modes only, and what to keep private.
    QMCrashReporter::RamDiskProfile ramDiskProfile() const;

    QString description() const;

    // Widgets (also found by their object names).
    QTableView *tableView() const { return _tableView; }
    QMenu *tableMenu() const { return _tableMenu; }
    RamDiskListModel *listModel() const { return _listModel; }

signals:
    // The selection or the selected RAM disk's state changed.
    void selectedRamDiskDidChange();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // An action's report, with the values of its moment, on the main thread.
    void mt_ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report);
    // The store's list changed behind this view (read from the file, say).
    void ramDisksDidChange();
    void loadView();
    void preserveLastSelectedRamDisk(const QString &previousSelection);
    void updateCommands();
    void redrawRow(const QMRamDisk::Ptr &ramDisk);
    void selectionDidChange();
    void presentRemovalAlert(const QMRamDisk::Ptr &ramDisk, const QMRamDisk::BackupDirs &backup);
    // Shows `alert` as a sheet on the window. Its second button calls `confirmed` with the
    // RAM disk looked up again, when it is still there and runs no action: either may have
    // changed while the question was open.
    void beginRamDiskSheet(QMAlertRequest alert, const QMRamDisk::Ptr &ramDisk,
                           std::function<void(const QMRamDisk::Ptr &)> confirmed);
    // The last step of a removal: the backup to the trash, then the entry goes.
    void finishRemoval(const QMRamDisk::Ptr &ramDisk);
    // The eject of a removal ended: removed when nothing is left on a device.
    void removalEjectDidEnd(const QString &identifier, const QMRamDiskReport &outcome);
    // Saves what is not saved yet, reads the file again and shows it.
    void reloadFromFile();
    // A sheet open on a RAM disk that is no longer in the list closes, saying why.
    void closeEditorsOfRemovedRamDisks();
    // Reads the locks of the RAM disks: another program's action shows in the row.
    void refreshOtherProgramsActions();
    // Stores the selection for the next start, when it changed.
    void rememberSelection();
    // Backs the RAM disk up; contents that are incomplete replace its complete copy only
    // once the user said so.
    void backUpNow(const QMRamDisk::Ptr &ramDisk);
    void contextMenuRequested(const QPoint &position);
    void openSelectedInFileManager(int row);
    QStringList runningApplications() const;

    // Fields of the design.
    QTableView *_tableView = nullptr;
    QMSegmentedControl *_pmButton = nullptr;
    MainSplitView *_splitView = nullptr;
    QWidget *_ramDiskView = nullptr;
    QWidget *_ntView = nullptr;
    QMBoxHighlightable *ntBox = nullptr;
    QLabel *_ntLabel = nullptr;
    QMTextOverLabel *_statusField = nullptr;
    QPushButton *_purgeButton = nullptr;
    QTimer *_autoUpdate = nullptr;
    QMRamDiskEntries *_ramDiskEntries = nullptr;
    std::optional<QStringList> _runningApps;

    // Ours.
    QWidget *_rightPane = nullptr;
    RamDiskEditorPane *_editorPane = nullptr;
    RamDiskConfigBarView *_barView = nullptr;
    RamDiskListModel *_listModel = nullptr;
    QMenu *_tableMenu = nullptr;
    QTimer *_saveTimer = nullptr;
    QAction *_addAction = nullptr;
    QAction *_removeAction = nullptr;
    QAction *_ramDiskCommandAction = nullptr;
    QPointer<QWidget> _observedWindow;
    int _clickedRow = -1;
    bool _reloading = false;
    bool _terminating = false;
    // Another program announced a change while an action of this one ran.
    bool _reloadPending = false;
    QHash<QString, QPair<qint64, qint64>> _otherProgramActions;
    std::optional<QString> _rememberedSelection;
};
