#include "AppController.h"

#include "QMCheckForUpdates.h"
#include "QMFunctions.h"

#include "PreferencesController.h"
#include "QMAboutWindow.h"
#include "QMRamDiskPreferences.h"
#include "QMCrashReporter.h"
#include "QMRamDiskBackup.h"
#include "QMFileChooser.h"
#include "QMLicenseAgreement.h"
#include "QMLog.h"
#include "QMMainWindow.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskUtils.h"
#include "QMSingleInstance.h"
#include "QMUserDefaults.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskConfigController.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QToolBar>
#include <QUrl>

namespace {

const QString kMainWindowKey = QStringLiteral("MainWindow");

QString localized(const char *key)
{
    return QCoreApplication::translate("Localizable", key);
}

} // namespace

AppController::AppController(QObject *parent) : QObject(parent)
{
    _mainWindow = new QMMainWindow;
    _mainWindow->setWindowTitle(QStringLiteral("Quilmo"));
    _mainWindow->setWindowIcon(QIcon(QPixmap::fromImage(QMRamDiskManager::ramDiskIcon(128))));
    connect(_mainWindow, &QMMainWindow::windowWillClose, this, &AppController::windowWillClose);
    connect(_mainWindow, &QMMainWindow::visibilityChanged, this, &AppController::validateMenuItems);
    buildMenus();

    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        const bool active = state == Qt::ApplicationActive;
        if (active && !_wasActive)
            applicationDidBecomeActive();
        else if (!active && _wasActive)
            applicationDidResignActive();
        _wasActive = active;
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppController::applicationWillTerminate);
    QMCrashReporter::sharedInstance()->setWindow(_mainWindow);
    QMLog::setCrashReporterHook([](int mode) { QMCrashReporter::sharedInstance()->presentToUserWithMode(mode); });
}

AppController::~AppController()
{
    QMLog::setCrashReporterHook(nullptr);
    QMCrashReporter::sharedInstance()->setProfileProvider(nullptr);
    QMCrashReporter::sharedInstance()->setReportCreatedHandler(nullptr);
    delete _licenseAgreement;
    delete _preferencesController;
    delete _mainWindow;
}

void AppController::setSingleInstance(QMSingleInstance *instance)
{
    if (instance)
        connect(instance, &QMSingleInstance::reopenRequested, this, &AppController::applicationShouldHandleReopen);
}

// ---- Menus -------------------------------------------------------------------------------

void AppController::buildMenus()
{
    QMenuBar *bar = _mainWindow->menuBar();
    _appMenu = bar->addMenu(QStringLiteral("&Quilmo"));
    _appMenu->setObjectName(QStringLiteral("QuilmoMenu"));
    _preferencesAction = _appMenu->addAction(localized("Preferences…"), this, &AppController::showPreferences);
    _preferencesAction->setObjectName(QStringLiteral("showPreferences"));
    _preferencesAction->setShortcut(QKeySequence::Preferences);
    _preferencesAction->setIcon(QIcon::fromTheme(QStringLiteral("preferences-system")));
    _appMenu->addSeparator();
    _forceEjectAction = _appMenu->addAction(localized("Force-Eject…"), this, &AppController::mi_forceEject);
    _forceEjectAction->setObjectName(QStringLiteral("forceEject"));
    _forceEjectAction->setIcon(wsIconForFileHFSType(QStringLiteral("ejec"), 16));
    _appMenu->addSeparator();
    _quitAction = _appMenu->addAction(localized("Quit"), this, &AppController::applicationShouldTerminate);
    _quitAction->setObjectName(QStringLiteral("quit"));
    _quitAction->setShortcut(QKeySequence::Quit);
    _quitAction->setIcon(QIcon::fromTheme(QStringLiteral("application-exit")));
    connect(_appMenu, &QMenu::aboutToShow, this, &AppController::validateMenuItems);

    _helpMenu = bar->addMenu(localized("&Help"));
    _helpMenu->setObjectName(QStringLiteral("HelpMenu"));
}

void AppController::installAppMenuItems()
{
    if (_checkForUpdateAction)
        return;
    QMenu *menu = _mainWindow->menuBar()->actions().isEmpty()
                      ? nullptr
                      : _mainWindow->menuBar()->actions().first()->menu();
    if (!menu)
        return;
    const QList<QAction *> items = menu->actions();
    // After the item that follows Preferences (normally a separator); at the top when that
    // place is past the end or there is no Preferences item.
    qsizetype at = items.indexOf(_preferencesAction);
    at = at < 0 || at + 2 > items.size() ? 0 : at + 2;
    QAction *before = at < items.size() ? items.at(at) : nullptr;

    auto *license = new QAction(localized("Display License…"), menu);
    license->setObjectName(QStringLiteral("displayLicense"));
    connect(license, &QAction::triggered, this, &AppController::displayLicenseAgreementFromMenuItem);
    _checkForUpdateAction = new QAction(localized("Check For Update…"), menu);
    _checkForUpdateAction->setObjectName(QStringLiteral("checkForUpdate"));
    // Enabled once the update checker is set up.
    _checkForUpdateAction->setEnabled(false);
    connect(_checkForUpdateAction, &QAction::triggered, this, &AppController::checkForUpdateFromMenuItem);
    auto *separator = new QAction(menu);
    separator->setSeparator(true);
    menu->insertActions(before, {license, _checkForUpdateAction, separator});
}

void AppController::validateMenuItems()
{
    _forceEjectAction->setEnabled(_mainWindow->isVisible());
}

void AppController::buildToolBar()
{
    if (_toolBar)
        return;
    _toolBar = new QToolBar(QStringLiteral("toolbar"), _mainWindow);
    _toolBar->setObjectName(QStringLiteral("toolbar"));
    _toolBar->setMovable(false);
    _toolBar->setFloatable(false);
    _toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    _toolBar->setIconSize(QSize(24, 24));
    // Not customisable: no menu to hide it.
    _toolBar->toggleViewAction()->setEnabled(false);
    _toolBar->toggleViewAction()->setVisible(false);
    _mainWindow->setContextMenuPolicy(Qt::NoContextMenu);
    _toolBar->addAction(_ramDiskConfigController->addRamDiskAction());
    _toolBar->addAction(_ramDiskConfigController->removeRamDiskAction());
    _toolBar->addSeparator();
    _toolBar->addAction(_ramDiskConfigController->ramDiskCommandAction());
    _mainWindow->addToolBar(Qt::TopToolBarArea, _toolBar);
}

// ---- Launch ------------------------------------------------------------------------------

void AppController::applicationDidFinishLaunching()
{
    QMCrashReporter::sharedInstance()->applicationLoaded();
    _needsContinueApplicationDidFinishLaunching = true;
    if (!QMLicenseAgreement::isAccepted()) {
        _licenseAgreement = new QMLicenseAgreement;
        _licenseAgreement->setAsksForAgreement(true);
        connect(_licenseAgreement, &QMLicenseAgreement::licenseAgreementUserAccepts, this,
                &AppController::licenseAgreement);
        _licenseAgreement->show();
        return;
    }
    continueApplicationDidFinishLaunching();
}

void AppController::licenseAgreement(QMLicenseAgreement *window, bool userAccepts)
{
    if (!window || window->asksForAgreement())
        QMLicenseAgreement::recordAnswer(userAccepts);
    if (!userAccepts) {
        // Declined: Quilmo ends before its window is shown.
        _terminating = true;
        terminate();
        return;
    }
    if (_needsContinueApplicationDidFinishLaunching)
        continueApplicationDidFinishLaunching();
}

void AppController::continueApplicationDidFinishLaunching()
{
    _needsContinueApplicationDidFinishLaunching = false;

    _ramDiskConfigController = new RamDiskConfigController;
    _mainWindow->setCentralWidget(_ramDiskConfigController);
    buildToolBar();
    QMCrashReporter::sharedInstance()->setProfileProvider(
        [controller = QPointer<RamDiskConfigController>(_ramDiskConfigController)] {
            return controller ? controller->ramDiskProfile() : QMCrashReporter::RamDiskProfile{};
        });

    // The window: where the user left it, as tall as its contents need.
    const QByteArray geometry = QMUserDefaults::standardUserDefaults()->value(kMainWindowKey).toByteArray();
    if (geometry.isEmpty() || !_mainWindow->restoreGeometry(geometry))
        _mainWindow->resize(820, 380);
    updateWindowHeight();

    _ramDiskConfigController->updateUI();
    bringWindowToFront();

    // The helper, when the list wants it in the tray and it is not running yet, or for the
    // mounted RAM disks it saves.
    if (_ramDiskConfigController->ramDiskEntries()->showInMenuBar() && !_ramDiskConfigController->helperIsRunning())
        _ramDiskConfigController->setHelperIsRunning(true);
    else
        QMRamDiskAutoSave::ensureGuardFor(_ramDiskConfigController->ramDiskEntries()->ramDisks());

    installAppMenuItems();
    startUpdateChecker();

    if (!_helpInstalled) {
        _helpInstalled = true;
        if (!_helpMenu->isEmpty())
            _helpMenu->addSeparator();
        const struct { const char *key; int tag; } items[] = {
            {"HELP_GOTO_WEBSITE", HelpWebsite},
            {"HELP_CONTACT_SUPPORT_OR_FEEDBACK", HelpContactSupport},
            {"HELP_EMAIL_SUPPORT", HelpEmailSupport},
            {"HELP_SUBMIT_REPORT", HelpSubmitReport},
        };
        for (const auto &item : items) {
            QAction *action = _helpMenu->addAction(localized(item.key));
            action->setObjectName(QString::fromLatin1(item.key));
            action->setData(item.tag);
            const int tag = item.tag;
            connect(action, &QAction::triggered, this, [this, tag] { mi_help(tag); });
        }
        _helpMenu->addSeparator();
        QAction *about = _helpMenu->addAction(localized("About Quilmo"), this, &AppController::showAbout);
        about->setObjectName(QStringLiteral("aboutQuilmo"));
        about->setIcon(QIcon::fromTheme(QStringLiteral("help-about")));
    }

    if (QMCrashReporter::sharedInstance()->needsDisplayReclam())
        QMCrashReporter::sharedInstance()->presentToUserWithMode(0);
}

void AppController::startUpdateChecker()
{
    QMCheckForUpdates *updates = QMCheckForUpdates::sharedInstance();
    QMUpdateApplication application = QMUpdateApplication::current();
    application.name = QStringLiteral("Quilmo");
    application.settingsPath = QMUserDefaults::path();
    application.icon = _mainWindow->windowIcon();
    // The checker outlives this controller: its hooks do nothing once it has gone.
    const QPointer<AppController> self(this);
    application.terminationHook = [self] {
        if (self)
            self->applicationWillTerminate();
    };
    application.quit = [self] {
        if (self)
            self->terminate();
    };
    application.activate = [self] {
        if (self && self->_mainWindow->isVisible())
            self->bringWindowToFront();
    };
    updates->setApplication(application);
    updates->setAppBuild(QMFunctions::appBuild().toLongLong(),
                         _updateInfoURL.isEmpty() ? QMCheckForUpdates::defaultInfoURL() : _updateInfoURL);
    connect(updates, &QMCheckForUpdates::QMCheckForUpdatesDidInstallUpdateNotification, this,
            &AppController::checkForUpdatesDidInstallUpdate, Qt::UniqueConnection);
    _checkForUpdateAction->setEnabled(true);
    QMCrashReporter::sharedInstance()->setReportCreatedHandler(
        [] { QMCheckForUpdates::sharedInstance()->synchronizeFromCrashReport(); });
    updates->synchronizeAtLaunch();
}

void AppController::updateWindowHeight()
{
    // The design's 380 assumed one platform's fonts; the height is what the contents need
    // where that is more.
    const int needed = _mainWindow->minimumSizeHint().height();
    const int height = std::max(380, needed);
    _mainWindow->setMinimumSize(600, height);
    _mainWindow->setMaximumSize(1600, height);
    if (_mainWindow->height() != height)
        _mainWindow->resize(std::clamp(_mainWindow->width(), 600, 1600), height);
}

void AppController::bringWindowToFront()
{
    _mainWindow->show();
    _mainWindow->raise();
    _mainWindow->activateWindow();
}

// ---- Application events ------------------------------------------------------------------

void AppController::applicationDidBecomeActive()
{
    if (_ramDiskConfigController && !_mainWindow->isVisible()) {
        _ramDiskConfigController->updateUI();
        bringWindowToFront();
    }
}

void AppController::applicationShouldHandleReopen()
{
    if (!_ramDiskConfigController) {
        // Still at the licence: that is the window to show.
        if (_licenseAgreement && _licenseAgreement->isVisible()) {
            _licenseAgreement->raise();
            _licenseAgreement->activateWindow();
        }
        return;
    }
    _ramDiskConfigController->updateUI();
    if (!_mainWindow->isVisible() || _mainWindow->isMinimized())
        _mainWindow->showNormal();
    bringWindowToFront();
}

void AppController::applicationDidResignActive()
{
    if (_ramDiskConfigController)
        _ramDiskConfigController->synchronize();
}

void AppController::windowWillClose()
{
    applicationShouldTerminate();
}

void AppController::applicationShouldTerminate()
{
    if (_terminating)
        return;
    _terminating = true;
    if (_ramDiskConfigController)
        _ramDiskConfigController->wantTerminate();
    terminate();
}

void AppController::terminate()
{
    if (_terminateHandler)
        _terminateHandler();
    else
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void AppController::applicationWillTerminate()
{
    if (_ramDiskConfigController) {
        _ramDiskConfigController->wantTerminate();
        _ramDiskConfigController->applicationWillTerminate();
        _ramDiskConfigController->synchronize();
        // An icon style chosen a moment ago is written now, not a second after the quit.
        QMRamDiskPreferences *preferences = QMRamDiskPreferences::sharedInstance();
        if (preferences->hasPendingSave())
            preferences->saveToUserDefaults();
        QSettings *defaults = QMUserDefaults::standardUserDefaults();
        defaults->setValue(kMainWindowKey, _mainWindow->saveGeometry());
        defaults->sync();
    }
    // A replaced copy is removed behind the save; quitting now would leave it on disk.
    QMRamDiskBackup::waitForDiscards();
    QMCrashReporter::sharedInstance()->applicationTerminated();
}

// ---- Menu commands -----------------------------------------------------------------------

void AppController::showPreferences()
{
    if (!_preferencesController) {
        _preferencesController = new PreferencesController(_mainWindow);
        _preferencesController->setRamDiskConfigController(_ramDiskConfigController);
    }
    _preferencesController->show();
    _preferencesController->raise();
    _preferencesController->activateWindow();
}

void AppController::showAbout()
{
    if (!_aboutWindow) {
        _aboutWindow = new QMAboutWindow(_mainWindow);
        connect(_aboutWindow, &QMAboutWindow::licenseRequested, this, &AppController::displayLicenseAgreementFromMenuItem);
    }
    _aboutWindow->show();
    _aboutWindow->raise();
    _aboutWindow->activateWindow();
}

void AppController::checkForUpdateFromMenuItem()
{
    QMCheckForUpdates::sharedInstance()->synchronizeByUser();
}

void AppController::checkForUpdatesDidInstallUpdate()
{
    // The new version's helper replaces the old one, once the old one has saved; the
    // settings stay as they are.
    if (_ramDiskConfigController && _ramDiskConfigController->helperIsRunning())
        QMRamDiskUtils::setHelperIsRunning(true);
}

void AppController::displayLicenseAgreementFromMenuItem()
{
    if (!_licenseAgreement) {
        _licenseAgreement = new QMLicenseAgreement;
        connect(_licenseAgreement, &QMLicenseAgreement::licenseAgreementUserAccepts, this,
                &AppController::licenseAgreement);
    }
    _licenseAgreement->setAsksForAgreement(!QMLicenseAgreement::isAccepted());
    _licenseAgreement->show();
    _licenseAgreement->raise();
    _licenseAgreement->activateWindow();
}

QString AppController::vendorWebsite()
{
    return QMLog::vendorWebsiteURL().toString();
}

QString AppController::supportPageAddress()
{
    return QMCrashReporter::supportURL();
}

QString AppController::supportEmailAddress()
{
    return QStringLiteral("support@quilmo.org");
}

void AppController::mi_help(int tag)
{
    switch (tag) {
    case HelpWebsite:
        QDesktopServices::openUrl(QUrl(vendorWebsite()));
        break;
    case HelpContactSupport:
        QDesktopServices::openUrl(QUrl(supportPageAddress()));
        break;
    case HelpEmailSupport:
        QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:%1").arg(supportEmailAddress())));
        break;
    case HelpSubmitReport:
        QMCrashReporter::sharedInstance()->presentToUserWithMode(1);
        break;
    default:
        break;
    }
}

bool AppController::validateForceEjectPath(const QString &path, QString *message)
{
    const QFileInfo info(path);
    if (!path.isEmpty() && info.exists() && info.isDir()) {
        if (QMRamDiskDevice::hasMountedVolumeAtPath(path) == QMMountStateMounted)
            return true;
        if (message)
            *message = localized("The selection is not a mounted volume.");
        return false;
    }
    if (message)
        *message = localized("The selection is not a directory.");
    return false;
}

void AppController::mi_forceEject()
{
    if (!_mainWindow->isVisible())
        return;
    QMFileChooserRequest request;
    request.objectName = QStringLiteral("AppController-ForceEjectRamDisk");
    request.title = localized("Force-Eject");
    request.prompt = localized("Force-Eject");
    request.directory = QDir::homePath();
    request.chooseDirectories = true;
    request.showHidden = true;
    request.canCreateDirectories = false;
    request.validate = &AppController::validateForceEjectPath;
    request.window = _mainWindow;
    QMFileChooser::open(request, [](const QString &path) {
        if (path.isNull())
            return;
        if (const QMError::Ptr error = QMRamDiskDevice::forceEjectRamDiskAtPath(path))
            error->presentWIthTitle(localized("Unable to eject RamDisk"), nullptr);
        // Nothing is said on success: the list shows the change at its next refresh.
    });
}
