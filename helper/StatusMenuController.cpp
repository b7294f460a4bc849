#include "StatusMenuController.h"

#include "HelperSaveGuard.h"
#include "QMAlert.h"
#include "QMDistributedNotificationCenter.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMNSMenuRepresentedObject.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMStatusItem.h"
#include "QMTranslations.h"
#include "QMTrayFileBrowser.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskMenuItemView.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeDatabase>
#include <QProcess>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QWidgetAction>


namespace {

const char *const kSelectorProperty = "qmSelector";
// A menu given to an item takes the item's text as its title; the title it was made
// with, which tells what it lists, is kept here.
const char *const kMenuTitleProperty = "qmMenuTitle";

// Milliseconds between two refreshes of the rows' texts ("Saved 3 minutes ago").
constexpr int kRowRefreshIntervalMs = 15000;
// The property a row keeps the state its icon was drawn for in.
const char *const kRowIconStateProperty = "qmRowIconState";
// The property a row keeps whether its RAM disk was busy when last shown.
const char *const kRowBusyProperty = "qmRowBusy";

double now1970()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

// Hands reports to the controller while it lives.
class ActionDelegate : public QMRamDiskActionDelegateProtocol
{
public:
    explicit ActionDelegate(StatusMenuController *controller) : _controller(controller) {}
    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override
    {
        if (ramDisk)
            ramDiskDidReport(ramDisk, ramDisk->report());
    }
    void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override
    {
        // Queued to the main thread; a controller gone by then gets nothing.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [controller = _controller, ramDisk, report] {
                if (controller)
                    controller->ramDiskDidReport(ramDisk, report);
            },
            Qt::QueuedConnection);
    }

private:
    QPointer<StatusMenuController> _controller;
};

} // namespace

QString StatusMenuController::rootMenuTitle()
{
    return QStringLiteral("StatusItemMenu");
}

QString StatusMenuController::ramDiskMenuTitle()
{
    return QStringLiteral("RamDiskMenu");
}

QString StatusMenuController::iconStyleKey()
{
    return QStringLiteral("StatusItemIconStyle");
}

QString StatusMenuController::iconStyleNotificationName()
{
    return QStringLiteral("QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification");
}

QString StatusMenuController::menuTitle(const QMenu *menu)
{
    const QVariant title = menu->property(kMenuTitleProperty);
    return title.isValid() ? title.toString() : menu->title();
}

QString StatusMenuController::mainPreferencesFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/quilmo/Quilmo.conf");
}

qint64 StatusMenuController::readStatusItemIconStyle()
{
    const QString path = mainPreferencesFilePath();
    if (!QFileInfo(path).isFile())
        return 0;
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return 0;
    bool ok = false;
    const qint64 style = settings.value(iconStyleKey()).toLongLong(&ok);
    return ok ? style : 0;
}

StatusMenuController::StatusMenuController(QObject *parent, QMRamDiskEntries *entries)
    : QObject(parent), _actionDelegate(std::make_shared<ActionDelegate>(this))
{
    // 1-2. The status view in the style Quilmo's preferences give.
    _statusItemView = new StatusItemView(this);
    _statusItemView->setBadgeStyle(readStatusItemIconStyle());

    // 3. The root menu, and the tray icon that shows it in whatever tray there is.
    _rootMenu = newMenu(rootMenuTitle());
    _rootMenu->setObjectName(rootMenuTitle());
    _rootMenu->installEventFilter(this);
    connect(_rootMenu, &QMenu::aboutToHide, this, [this] { menuDidClose(_rootMenu); });

    // 4. The store: the helper's own, or one of this controller's.
    if (entries) {
        _ramDiskEntries = entries;
        _ramDiskEntries->setDelegate(this);
        _ramDiskEntries->readRamDisksFromDefaultLocation();
    } else {
        _ownsEntries = true;
        _ramDiskEntries = new QMRamDiskEntries(this, this);
        _ramDiskEntries->readRamDisksFromDefaultLocation();
    }
    _ramDiskEntries->setUpdator(true);
    // Progress of any action on the store (a scheduled save too) and what the refresh
    // finds: the rows of an open menu follow.
    connect(_ramDiskEntries, &QMRamDiskEntries::ramDiskReported, this, [this] { refreshRows(); });
    connect(_ramDiskEntries, &QMRamDiskEntries::ramDiskUpdatedByUpdator, this, [this] { refreshRows(); });
    connect(_ramDiskEntries, &QMRamDiskEntries::ramDisksDidChange, this, [this] { refreshRows(); });
    _rowRefresh = new QTimer(this);
    _rowRefresh->setInterval(kRowRefreshIntervalMs);
    connect(_rowRefresh, &QTimer::timeout, this, &StatusMenuController::refreshRows);
    _rowRefresh->start();

    // A panel may read the exported menu before anybody opened it.
    loadRamDiskListMenu(_rootMenu);

    _statusItem = new QMStatusItem(_rootMenu, QDBusConnection::sessionBus(), this);
    _statusItem->setToolTip(QStringLiteral("Quilmo"));
    updateStatusItemIcon();
    connect(_statusItemView, &StatusItemView::needsDisplay, this, &StatusMenuController::updateStatusItemIcon);
    // A left click on an XEmbed icon pops the same menu up as the right one.
    connect(_statusItem, &QMStatusItem::activated, this, [this] { statusItemViewPressed(_statusItemView); });

    // 5.
    updateDiskWarning();

    // 6. Both notifications, from any program.
    _observation = connect(QMDistributedNotificationCenter::defaultCenter(),
                           &QMDistributedNotificationCenter::notificationPosted, this,
                           [this](const QString &name, const QString &object, const QVariantMap &userInfo) {
                               if (name == QMRamDiskEntries::didChangeToAllNotificationName())
                                   n_ramDiskEntriesDidChangeToAllNotification(object);
                               else if (name == iconStyleNotificationName())
                                   n_preferencesStatusItemIconStyleDidChange(name, object, userInfo);
                           });
}

StatusMenuController::~StatusMenuController()
{
    disconnect(_observation);
    disconnect(_ramDiskEntries, nullptr, this, nullptr);
    // Reports of actions still running go nowhere from now on; a store of our own waits
    // for them when it is deleted with this object, the helper's goes on.
    _ramDiskEntries->setDelegate(nullptr);
    if (_ownsEntries)
        _ramDiskEntries->setUpdator(false);
    delete _statusItem;
    _statusItem = nullptr;
    delete _rootMenu;
    delete _statusItemView;
}

void StatusMenuController::updateStatusItemIcon()
{
    if (_statusItem)
        _statusItem->setIcon(_statusItemView->icon());
}

void StatusMenuController::showMessage(const QString &title, const QString &text)
{
    if (_statusItem)
        _statusItem->showMessage(title, text);
    emit userNotified(title, text);
}

void StatusMenuController::leaveSaveFailuresTo(const HelperSaveGuard *guard)
{
    _saveGuard = guard;
}

void StatusMenuController::wantTerminate()
{
    _ramDiskEntries->waitingEndAll();
}

void StatusMenuController::synchronizeRamDiskEntries()
{
    _ramDiskEntries->writeRamDisksToDefaultLocation();
}

bool StatusMenuController::reloadRamDiskEntries()
{
    if (_ramDiskEntries->hasRunningAction()) {
        QM_LogErrorMethod(this, QStringLiteral("hasRunningAction==YES"));
        return false;
    }
    _ramDiskEntries->readRamDisksFromDefaultLocation();
    updateDiskWarning();
    return true;
}

void StatusMenuController::updateDiskWarning()
{
    _statusItemView->setIsWarn(QMStatusMenuItems::diskWarning(_ramDiskEntries->ramDisks()));
}

void StatusMenuController::statusItemViewPressed(StatusItemView *)
{
    // Under the tray icon where the tray tells where it is, else at the pointer.
    const QRect tray = _statusItem ? _statusItem->geometry() : QRect();
    const QPoint at = tray.isValid() ? tray.bottomLeft() : QCursor::pos();
    _rootMenu->popup(at);
}

// ---- Reports of actions ----

void StatusMenuController::ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk)
{
    if (ramDisk)
        ramDiskDidReport(ramDisk, ramDisk->report());
}

void StatusMenuController::ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report)
{
    // The snapshot, not the record: by the time the main thread runs, the record may be at
    // its next step, and a progress report would read as the end.
    QMetaObject::invokeMethod(
        this, [this, ramDisk, report] { mt_ramDiskDidUpdated(ramDisk, report); }, Qt::QueuedConnection);
}

void StatusMenuController::ramDiskEntries(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk)
{
    ramDiskDidUpdated(ramDisk);
}

void StatusMenuController::ramDiskEntriesDidReport(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk,
                                                   const QMRamDiskReport &report)
{
    ramDiskDidReport(ramDisk, report);
}

void StatusMenuController::ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &)
{
    updateDiskWarning();
}

void StatusMenuController::mt_ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report)
{
    refreshRows();
    if (!report.isFinal())
        return;
    // A store given to the menu is its owner's to write (the helper's guard records every
    // outcome of it); one written twice would tell the other programs twice.
    if (_ownsEntries) {
        synchronizeRamDiskEntries();
        QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::helperSender());
    }
    updateDiskWarning();
    // Asked before the schedule hears the same report: the report reaches this object and
    // the schedule in the order the action's thread posted them, this one first.
    if (report.error && _saveGuard && _saveGuard->isTellingFailuresOf(report.identifier))
        return;

    // The engine has logged what went wrong; the user hears of it too, once per outcome.
    QString text;
    if (report.error) {
        text = report.error->alertMessageText(QString());
        const QString more = report.error->alertInformativeText(QString());
        if (!more.isEmpty() && more != text)
            text += QLatin1Char(' ') + more;
    } else {
        text = report.warning;
    }
    if (text.isEmpty())
        return;
    showMessage(ramDisk ? ramDisk->displayName() : QString(), text);
}

// ---- Notifications ----

void StatusMenuController::n_ramDiskEntriesDidChangeToAllNotification(const QString &sender)
{
    // Our own saves are announced too; quilmoctl's changes are heard like Quilmo's.
    if (sender == QMRamDiskEntries::helperSender())
        return;
    reloadRamDiskEntries();
}

void StatusMenuController::n_preferencesStatusItemIconStyleDidChange(const QString &name, const QString &object,
                                                                     const QVariantMap &userInfo)
{
    QStringList info;
    for (auto it = userInfo.begin(); it != userInfo.end(); ++it)
        info << QStringLiteral("%1 = %2").arg(it.key(), it.value().toString());
    QM_LogMethod(QMLog::Debug, this,
                 QStringLiteral("notification:%1 object:%2 userInfo:{%3}").arg(name, object, info.join(QStringLiteral("; "))));
    _statusItemView->setBadgeStyle(userInfo.value(iconStyleKey()).toLongLong());
}

// ---- Menus ----

QMenu *StatusMenuController::newMenu(const QString &title, QMenu *representing)
{
    QMenu *menu = representing ? representing : new QMenu(title);
    menu->setProperty(kMenuTitleProperty, title);
    menu->setToolTipsVisible(true);
    menu->setSeparatorsCollapsible(false);
    watchMenu(menu);
    return menu;
}

void StatusMenuController::watchMenu(QMenu *menu)
{
    QPointer<QMenu> guarded = menu;
    connect(menu, &QMenu::aboutToShow, this, [this, guarded] {
        if (guarded)
            menuNeedsUpdate(guarded);
    });
}

bool StatusMenuController::eventFilter(QObject *watched, QEvent *event)
{
    // Only a menu Qt draws itself is shown as a window: that is when the icon looks pressed
    // and the spinners run. Menus the desktop draws from the exported copy never show here.
    if (watched == _rootMenu && event->type() == QEvent::Show)
        menuWillOpen(_rootMenu);
    return QObject::eventFilter(watched, event);
}

void StatusMenuController::menuNeedsUpdate(QMenu *menu)
{
    menu->setFont(QApplication::font("QMenu"));
    if (menu == _rootMenu)
        loadRamDiskListMenu(menu);
    else
        loadDirectoryMenu(menu);
}

void StatusMenuController::menuWillOpen(QMenu *menu)
{
    if (menu != _rootMenu)
        return;
    _statusItemView->setIsPressed(true);
    for (RamDiskMenuItemView *row : menu->findChildren<RamDiskMenuItemView *>())
        row->updateForDisplay(true);
}

void StatusMenuController::menuDidClose(QMenu *menu)
{
    if (menu != _rootMenu)
        return;
    _statusItemView->setIsPressed(false);
    for (RamDiskMenuItemView *row : menu->findChildren<RamDiskMenuItemView *>())
        row->updateForDisplay(false);
}

QIcon StatusMenuController::iconNamed(const QString &name)
{
    if (name.isEmpty())
        return {};
    if (name == QLatin1String("QuilmoApp")) {
        // Fetched once per process and kept.
        static const QIcon appIcon = [] {
            QImage image = QMRamDiskFunctions::themeImage(QMRamDiskUtils::bundleIdentifier(), 16);
            if (image.isNull())
                image = QMRamDiskManager::ramDiskIcon(16);
            return QIcon(QPixmap::fromImage(image));
        }();
        return appIcon;
    }
    if (name == QLatin1String("syncIcon"))
        return QIcon(QPixmap::fromImage(QMRamDiskFunctions::icon16Named(name)));
    return wsIconForFileHFSType(name, 16);
}

QAction *StatusMenuController::addItem(QMenu *menu, const QMStatusMenuItem &item)
{
    if (item.kind == QMStatusMenuItem::Separator)
        return menu->addSeparator();
    if (item.kind == QMStatusMenuItem::RamDiskRow)
        return addRamDiskRow(menu, item);
    auto *action = new QAction(QMStatusMenuItems::escapedMenuText(item.title), menu);
    action->setObjectName(item.key);
    action->setEnabled(item.enabled);
    action->setToolTip(item.toolTip);
    action->setIcon(iconNamed(item.iconName));
    action->setIconVisibleInMenu(true);
    action->setProperty(kSelectorProperty, static_cast<int>(item.selector));
    action->setProperty("tag", item.tag);
    if (item.ramDisk)
        action->setData(item.ramDisk->identifier());
    else if (!item.path.isNull())
        action->setData(item.path);
    if (item.selector != QMStatusMenuSelector::None) {
        const QMStatusMenuSelector selector = item.selector;
        connect(action, &QAction::triggered, this, [this, action, selector] { perform(selector, action); });
    }
    menu->addAction(action);
    return action;
}

QAction *StatusMenuController::addRamDiskRow(QMenu *menu, const QMStatusMenuItem &item)
{
    const QMRamDisk::Ptr r = item.ramDisk;
    auto *row = new QWidgetAction(menu);
    row->setObjectName(item.key);
    auto *view = new RamDiskMenuItemView(QRect(0, 0, RamDiskMenuItemView::rowWidth, RamDiskMenuItemView::rowHeight),
                                         r, r->action(), r->lastActionInfo());
    view->setMenuAction(row);
    row->setDefaultWidget(view);
    row->setData(r->identifier());
    row->setProperty(kSelectorProperty, static_cast<int>(item.selector));
    showRow(row, r, now1970());
    row->setEnabled(item.enabled);
    row->setProperty(kRowBusyProperty, r->action() != QMRamDiskAction_none);
    connect(row, &QAction::triggered, this, [this, row] { perform(QMStatusMenuSelector::OpenRamDisk, row); });

    auto *submenu = new QMNSMenuRepresentedObject(ramDiskMenuTitle());
    submenu->setRepObject(r);
    newMenu(ramDiskMenuTitle(), submenu);
    // The submenu goes with its row when the menu is rebuilt.
    connect(row, &QObject::destroyed, submenu, &QObject::deleteLater);
    row->setMenu(submenu);
    menu->addAction(row);
    return row;
}

void StatusMenuController::showRow(QWidgetAction *row, const QMRamDisk::Ptr &r, double now)
{
    // What menus drawn by the desktop show: the name and the state line in the text, the
    // pie or the busy badge as the icon.
    const QString text = QMStatusMenuItems::rowText(r, now);
    if (row->text() != text)
        row->setText(text);
    const qint64 action = r->action();
    const qint64 status = r->status();
    const int percent = status == QMRamDiskStatus_mounted ? qRound(r->diskUsage() * 100) : -1;
    const QString iconState = QStringLiteral("%1/%2/%3").arg(status).arg(action != 0).arg(percent);
    if (row->property(kRowIconStateProperty).toString() != iconState) {
        row->setProperty(kRowIconStateProperty, iconState);
        row->setIcon(QIcon(QPixmap::fromImage(
            RamDiskMenuItemView::menuIcon(r->displayIcon(32), status, action, r->diskUsage(), 16, _rootMenu->palette()))));
    }
    if (auto *view = qobject_cast<RamDiskMenuItemView *>(row->defaultWidget()))
        view->showState(r);
}

void StatusMenuController::refreshRows()
{
    // Reading the file while the list is built tells of a changed list again.
    if (!_rootMenu || _buildingRootMenu)
        return;
    const double now = now1970();
    const QList<QMRamDisk::Ptr> ramDisks = _ramDiskEntries->ramDisks();
    QStringList shown;
    for (QAction *a : _rootMenu->actions()) {
        auto *row = qobject_cast<QWidgetAction *>(a);
        if (!row)
            continue;
        shown << row->data().toString();
        const QMRamDisk::Ptr r = _ramDiskEntries->ramDiskWithIdentifier(row->data().toString());
        if (!r)
            continue;
        const bool busy = r->action() != QMRamDiskAction_none;
        const bool wasBusy = row->property(kRowBusyProperty).toBool();
        row->setProperty(kRowBusyProperty, busy);
        showRow(row, r, now);
        // A row that became busy under the pointer stays open to it (its submenu says what
        // runs); one whose action ended can be used again.
        if (!busy)
            row->setEnabled(true);
        auto *submenu = qobject_cast<QMNSMenuRepresentedObject *>(row->menu());
        if (submenu) {
            submenu->setRepObject(r);
            // Its actions wait while it is busy, and come back after; a submenu that was
            // never opened is filled when it is.
            if (busy != wasBusy && !submenu->actions().isEmpty())
                loadDirectoryMenu(submenu);
        }
    }
    QStringList listed;
    for (const QMRamDisk::Ptr &r : ramDisks)
        listed << r->identifier();
    // RAM disks added, removed or reordered elsewhere: the menu Qt shows stays as it was
    // opened, the exported one is built again.
    if (listed != shown && !_rootMenu->isVisible())
        loadRamDiskListMenu(_rootMenu);
}

void StatusMenuController::addItems(QMenu *menu, const QList<QMStatusMenuItem> &items)
{
    for (const QMStatusMenuItem &item : items)
        addItem(menu, item);
}

void StatusMenuController::loadRamDiskListMenu(QMenu *menu)
{
    const QScopedValueRollback building(_buildingRootMenu, true);
    // 1. The file as it is now, unless an action of ours is changing it.
    if (!_ramDiskEntries->hasRunningAction())
        _ramDiskEntries->readRamDisksFromDefaultLocation();

    // 2.
    menu->clear();
    QMMemoryStatistics statistics;
    std::optional<QMMemoryStatistics> memory;
    if (QMMacInfo::getMemoryStatistics(&statistics))
        memory = statistics;
    addItems(menu, QMStatusMenuItems::rootMenu(_ramDiskEntries->ramDisks(), memory, QMRamDiskUtils::canPurgeMemory()));
}

void StatusMenuController::loadDirectoryMenu(QMenu *menu)
{
    menu->clear();
    if (menuTitle(menu) == ramDiskMenuTitle()) {
        auto *represented = qobject_cast<QMNSMenuRepresentedObject *>(menu);
        const QMRamDisk::Ptr r = represented ? represented->repObject() : nullptr;
        if (!r)
            return;
        // A RAM disk may have become busy since its row was made (a scheduled save): the
        // submenu says so and its actions wait (QMStatusMenuItems::ramDiskMenu).
        addItems(menu, QMStatusMenuItems::ramDiskMenu(r));
        if (r->status() == QMRamDiskStatus_mounted && !r->path().isEmpty())
            fileBrowser()->addRootEntries(menu, r);
        return;
    }

    if (QMTrayFileBrowser::isFolderMenu(menu))
        fileBrowser()->fillFolderMenu(menu);
}

QMTrayFileBrowser *StatusMenuController::fileBrowser()
{
    if (!_fileBrowser)
        _fileBrowser = new QMTrayFileBrowser(
            [this](const QString &identifier) { return _ramDiskEntries->ramDiskWithIdentifier(identifier); },
            [this](const QString &title) { return newMenu(title); }, this);
    return _fileBrowser;
}

// ---- Item actions ----

void StatusMenuController::perform(QMStatusMenuSelector selector, QAction *sender)
{
    switch (selector) {
    case QMStatusMenuSelector::None:
        break;
    case QMStatusMenuSelector::OpenRamDiskApp:
        mi_openRamDiskApp(sender);
        break;
    case QMStatusMenuSelector::OpenRamDisk:
        mi_openRamDisk(sender);
        break;
    case QMStatusMenuSelector::PurgeMacMemory:
        mi_purgeMacMemory(sender);
        break;
    case QMStatusMenuSelector::PerformAllAction:
        mi_performAllAction(sender);
        break;
    case QMStatusMenuSelector::StatusEject:
        mi_statusEject(sender);
        break;
    case QMStatusMenuSelector::Rebuild:
        mi_rebuild(sender);
        break;
    case QMStatusMenuSelector::StatusMount:
        mi_statusMount(sender);
        break;
    case QMStatusMenuSelector::Menu:
        mi_menu(sender);
        break;
    case QMStatusMenuSelector::BackupNow:
        mi_backupNow(sender);
        break;
    case QMStatusMenuSelector::CleanUp:
        mi_cleanUp(sender);
        break;
    case QMStatusMenuSelector::CleanFolder:
        mi_cleanFolder(sender);
        break;
    case QMStatusMenuSelector::OpenFile:
        mi_openFile(sender);
        break;
    case QMStatusMenuSelector::QuitHelper:
        mi_quitHelper(sender);
        break;
    case QMStatusMenuSelector::Grow:
        mi_grow(sender);
        break;
    }
}

QMRamDisk::Ptr StatusMenuController::ramDiskOfItem(QAction *sender) const
{
    // The record of the store now: the list may have been read again since the menu was
    // built, and an action must run on the record the store keeps.
    if (!sender)
        return nullptr;
    return _ramDiskEntries->ramDiskWithIdentifier(sender->data().toString());
}

void StatusMenuController::openPath(const QString &path)
{
    if (path.isEmpty())
        return;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        QM_LogErrorMethod(this, QStringLiteral("openFile==NO path:%1").arg(path));
}

void StatusMenuController::mi_openRamDiskApp(QAction *)
{
    const QString app = QMRamDiskUtils::ramDiskAppPath() + QStringLiteral("/bin/Quilmo");
    QProcess process;
    process.setProgram(app);
    process.setWorkingDirectory(QDir::homePath());
    if (!process.startDetached())
        QM_LogErrorMethod(this, QStringLiteral("launchApplicationAtURL==NO URL:%1 error:%2")
                                    .arg(QUrl::fromLocalFile(app).toString(), process.errorString()));
}

void StatusMenuController::mi_openRamDisk(QAction *sender)
{
    if (const QMRamDisk::Ptr r = ramDiskOfItem(sender))
        openPath(r->path());
}

void StatusMenuController::mi_purgeMacMemory(QAction *)
{
    QMRamDiskUtils::purgeMemory();
}

void StatusMenuController::mi_performAllAction(QAction *sender)
{
    const qint64 tag = sender ? sender->property("tag").toLongLong() : 0;
    for (const QMRamDisk::Ptr &r : QMStatusMenuItems::targetsOfAllAction(tag, _ramDiskEntries->ramDisks())) {
        switch (tag) {
        case 1:
            startAction(QMRamDiskAction_create, r);
            break;
        case 2:
            startAction(QMRamDiskAction_eject, r);
            break;
        case 3:
            startAction(QMRamDiskAction_copyToBase, r);
            break;
        case 4:
            startAction(QMRamDiskAction_backup, r);
            break;
        default:
            break;
        }
    }
}

void StatusMenuController::startAction(qint64 action, const QMRamDisk::Ptr &r)
{
    // An item of a menu built before the RAM disk became busy: the engine would refuse
    // with an alert; the busy state shows in the menu instead.
    if (!r || r->action() != QMRamDiskAction_none)
        return;
    _ramDiskEntries->startAction(action, r, true);
}

void StatusMenuController::mi_statusEject(QAction *sender)
{
    startAction(QMRamDiskAction_eject, ramDiskOfItem(sender));
}

void StatusMenuController::mi_rebuild(QAction *sender)
{
    startAction(QMRamDiskAction_rebuild, ramDiskOfItem(sender));
}

void StatusMenuController::mi_grow(QAction *sender)
{
    const QMRamDisk::Ptr r = ramDiskOfItem(sender);
    const quint64 target = sender ? sender->property("tag").toULongLong() : 0;
    // The menu may be older than the RAM disk's state: the engine checks again.
    if (!r || !target || r->action() != QMRamDiskAction_none)
        return;
    _ramDiskEntries->resize(r, target, true);
}

void StatusMenuController::mi_statusMount(QAction *sender)
{
    startAction(QMRamDiskAction_remount, ramDiskOfItem(sender));
}

void StatusMenuController::mi_menu(QAction *sender)
{
    if (!sender || sender->property("tag").toLongLong() != 2)
        return;
    startAction(QMRamDiskAction_create, ramDiskOfItem(sender));
}

void StatusMenuController::mi_backupNow(QAction *sender)
{
    const QMRamDisk::Ptr r = ramDiskOfItem(sender);
    if (!r || r->action() != QMRamDiskAction_none)
        return;
    const qint64 tag = sender->property("tag").toLongLong();
    const qint64 action = tag == 1   ? qint64(QMRamDiskAction_backup)
                          : tag == 2 ? qint64(QMRamDiskAction_copyToBase)
                                     : qint64(QMRamDiskAction_none);
    if (action == QMRamDiskAction_none)
        return;
    r->performAction(action, _actionDelegate, true);
}

void StatusMenuController::mi_cleanUp(QAction *sender)
{
    const QMRamDisk::Ptr r = ramDiskOfItem(sender);
    if (!r) {
        QM_CriticalException(this, "ramDisk==nil");
        return;
    }
    // Nothing of it can be brought back: the person who chose the item confirms first.
    QMAlertRequest confirm;
    confirm.objectName = QStringLiteral("QMCleanUpAlert");
    confirm.icon = QMessageBox::Warning;
    confirm.messageText = QMTranslations::localizedString("Delete all files of “%1”?").arg(r->displayName());
    confirm.informativeText =
        QMTranslations::localizedString("Every file and folder on the RAM disk is deleted at once. This cannot be undone.");
    const QString cancel = QMTranslations::localizedString("Cancel");
    confirm.buttons = {cancel, QMTranslations::localizedString("Delete All Files")};
    if (QMAlert::runModal(confirm) != 1 || r->action() != QMRamDiskAction_none)
        return;
    r->performAction(QMRamDiskAction_cleanUpFiles, _actionDelegate, true);
}

void StatusMenuController::mi_cleanFolder(QAction *sender)
{
    fileBrowser()->removeFolder(sender);
}

void StatusMenuController::mi_openFile(QAction *sender)
{
    if (sender)
        openPath(sender->data().toString());
}

void StatusMenuController::mi_quitHelper(QAction *)
{
    emit quitRequested();
}
