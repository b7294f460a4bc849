#include "StatusMenuController.h"

#include "QMAlert.h"
#include "QMDistributedNotificationCenter.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMNSMenuRepresentedObject.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMTranslations.h"
#include "QMTrayFileBrowser.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskMenuItemView.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeDatabase>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWidgetAction>


namespace {

const char *const kSelectorProperty = "qmSelector";
// A menu given to an item takes the item's text as its title; the title it was made
// with, which tells what it lists, is kept here.
const char *const kMenuTitleProperty = "qmMenuTitle";

// Milliseconds between two looks for a tray while none is there.
constexpr int kTrayCheckIntervalMs = 5000;

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

StatusMenuController::StatusMenuController(QObject *parent)
    : QObject(parent), _actionDelegate(std::make_shared<ActionDelegate>(this))
{
    // 1-2. The status view in the style Quilmo's preferences give.
    _statusItemView = new StatusItemView(this);
    _statusItemView->setBadgeStyle(readStatusItemIconStyle());

    // 3. The tray icon and its root menu.
    _rootMenu = newMenu(rootMenuTitle());
    _rootMenu->setObjectName(rootMenuTitle());
    _rootMenu->installEventFilter(this);
    connect(_rootMenu, &QMenu::aboutToHide, this, [this] { menuDidClose(_rootMenu); });

    _statusItem = new QSystemTrayIcon(this);
    _statusItem->setToolTip(QStringLiteral("Quilmo"));
    _statusItem->setContextMenu(_rootMenu);
    updateStatusItemIcon();
    connect(_statusItemView, &StatusItemView::needsDisplay, this, &StatusMenuController::updateStatusItemIcon);
    connect(_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu (right button) is shown by the tray or by Qt; a left click
        // pops the same menu up.
        if (reason == QSystemTrayIcon::Trigger)
            statusItemViewPressed(_statusItemView);
    });

    // 4. This controller's own store.
    _ramDiskEntries = new QMRamDiskEntries(this, this);
    _ramDiskEntries->readRamDisksFromDefaultLocation();
    _ramDiskEntries->setUpdator(true);

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

    _trayCheck = new QTimer(this);
    _trayCheck->setInterval(kTrayCheckIntervalMs);
    connect(_trayCheck, &QTimer::timeout, this, &StatusMenuController::checkSystemTray);
    _trayCheck->start();
    checkSystemTray();
}

StatusMenuController::~StatusMenuController()
{
    disconnect(_observation);
    _ramDiskEntries->setUpdator(false);
    // The store, deleted with this object, waits for its running actions; their reports
    // go nowhere from now on.
    _ramDiskEntries->setDelegate(nullptr);
    if (_statusItem)
        _statusItem->hide();
    delete _rootMenu;
    delete _statusItemView;
}

void StatusMenuController::checkSystemTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        _trayMissingLogged = false;
        if (!_statusItem->isVisible())
            _statusItem->show();
        return;
    }
    if (_statusItem->isVisible())
        _statusItem->hide();
    if (!_trayMissingLogged) {
        _trayMissingLogged = true;
        QM_LogWarningMethod(this, QStringLiteral("No system tray is available: the status icon is shown when one "
                                                 "appears"));
    }
}

void StatusMenuController::updateStatusItemIcon()
{
    if (_statusItem)
        _statusItem->setIcon(_statusItemView->icon());
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
    if (!report.isFinal())
        return;
    synchronizeRamDiskEntries();
    QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::helperSender());
    updateDiskWarning();

    // The engine has logged what went wrong; the person who chose the item hears of it too.
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
    const QString title = ramDisk ? ramDisk->displayName() : QString();
    if (_statusItem && _statusItem->isVisible())
        _statusItem->showMessage(title, text, QSystemTrayIcon::Warning);
    emit userNotified(title, text);
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
    const qint64 action = r->action();
    const qint64 info = r->lastActionInfo();
    auto *row = new QWidgetAction(menu);
    row->setObjectName(item.key);
    auto *view = new RamDiskMenuItemView(QRect(0, 0, RamDiskMenuItemView::rowWidth, RamDiskMenuItemView::rowHeight),
                                         r, action, info);
    view->setMenuAction(row);
    row->setDefaultWidget(view);

    // What menus drawn by the desktop show: the name, the progress while busy, the icon
    // with its pie or busy badge.
    QString text = QMStatusMenuItems::escapedMenuText(item.title);
    if (action != QMRamDiskAction_none) {
        const QString progress = QMRamDiskManager::displayStringFromAction(action, info);
        if (!progress.isEmpty())
            text += QStringLiteral(" \u2014 ") + QMStatusMenuItems::escapedMenuText(progress);
    }
    row->setText(text);
    row->setIcon(QIcon(QPixmap::fromImage(RamDiskMenuItemView::menuIcon(r->displayIcon(32), r->status(), action,
                                                                        r->diskUsage(), 32, menu->palette()))));
    row->setEnabled(item.enabled);
    row->setData(r->identifier());
    row->setProperty(kSelectorProperty, static_cast<int>(item.selector));
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

void StatusMenuController::addItems(QMenu *menu, const QList<QMStatusMenuItem> &items)
{
    for (const QMStatusMenuItem &item : items)
        addItem(menu, item);
}

void StatusMenuController::loadRamDiskListMenu(QMenu *menu)
{
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
        if (const qint64 action = r->action(); action != QMRamDiskAction_none)
            qm_detail::criticalException(__func__, __LINE__, qm_detail::receiverDescription(this),
                                         qm_detail::receiverClassName(this),
                                         QStringLiteral("Action is running:%1").arg(action));
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
            _ramDiskEntries->create(r, true);
            break;
        case 2:
            _ramDiskEntries->eject(r, true);
            break;
        case 3:
            _ramDiskEntries->startAction(QMRamDiskAction_copyToBase, r, true);
            break;
        case 4:
            _ramDiskEntries->startAction(QMRamDiskAction_backup, r, true);
            break;
        default:
            break;
        }
    }
}

void StatusMenuController::mi_statusEject(QAction *sender)
{
    if (const QMRamDisk::Ptr r = ramDiskOfItem(sender))
        _ramDiskEntries->startAction(QMRamDiskAction_eject, r, true);
}

void StatusMenuController::mi_rebuild(QAction *sender)
{
    if (const QMRamDisk::Ptr r = ramDiskOfItem(sender))
        _ramDiskEntries->startAction(QMRamDiskAction_rebuild, r, true);
}

void StatusMenuController::mi_statusMount(QAction *sender)
{
    if (const QMRamDisk::Ptr r = ramDiskOfItem(sender))
        _ramDiskEntries->startAction(QMRamDiskAction_remount, r, true);
}

void StatusMenuController::mi_menu(QAction *sender)
{
    if (!sender || sender->property("tag").toLongLong() != 2)
        return;
    if (const QMRamDisk::Ptr r = ramDiskOfItem(sender))
        _ramDiskEntries->create(r, true);
}

void StatusMenuController::mi_backupNow(QAction *sender)
{
    const QMRamDisk::Ptr r = ramDiskOfItem(sender);
    if (!r || r->action() != QMRamDiskAction_none)
        return;
    const qint64 tag = sender->property("tag").toLongLong();
    if (tag == 1)
        r->performAction(QMRamDiskAction_backup, _actionDelegate, true);
    else if (tag == 2)
        r->performAction(QMRamDiskAction_copyToBase, _actionDelegate, true);
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
    if (QMAlert::runModal(confirm) != 1)
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
