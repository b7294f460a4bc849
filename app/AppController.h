#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class PreferencesController;
class QMAboutWindow;
class QAction;
class QMenu;
class QMLicenseAgreement;
class QMMainWindow;
class QMSingleInstance;
class QToolBar;
class RamDiskConfigController;

// Quilmo's application controller: it builds the main window around the configuration
// view, asks for the licence the first time, starts the tray helper when the list wants it
// in the tray, owns the menus (the "Quilmo" menu with Preferences, the licence, the update
// check and force-eject; the Help menu), offers the crash reporter after a crash, and
// forwards the application's activation and termination to the configuration view.
class AppController : public QObject
{
    Q_OBJECT

public:
    // Help menu tags.
    enum HelpTag { HelpWebsite = 1, HelpContactSupport = 2, HelpEmailSupport = 3, HelpSubmitReport = 5 };

    explicit AppController(QObject *parent = nullptr);
    ~AppController() override;

    // The two launch stages; the second runs at once unless the licence is to be asked.
    void applicationDidFinishLaunching();
    void continueApplicationDidFinishLaunching();
    bool needsContinueApplicationDidFinishLaunching() const { return _needsContinueApplicationDidFinishLaunching; }
    void licenseAgreement(QMLicenseAgreement *window, bool userAccepts);

    // Application events.
    void applicationDidBecomeActive();
    void applicationDidResignActive();
    // The design's "reopen": a second Quilmo asked this one to come to the front.
    void applicationShouldHandleReopen();
    // A quit asked for (menu, window closed): waits for running actions, then quits.
    void applicationShouldTerminate();
    // While quitting: the configuration view saves; the helper is quit unless wanted.
    void applicationWillTerminate();
    void windowWillClose();

    // Menu commands.
    void showPreferences();
    void checkForUpdateFromMenuItem();
    void displayLicenseAgreementFromMenuItem();
    // Help > About Quilmo.
    void showAbout();
    void mi_help(int tag);
    void mi_forceEject();
    // What the force-eject chooser accepts: a directory on which a volume is mounted.
    static bool validateForceEjectPath(const QString &path, QString *message);
    // The force-eject command is enabled only while the main window is visible.
    void validateMenuItems();
    // After the update checker installed a new version: a running helper is restarted.
    void checkForUpdatesDidInstallUpdate();
    // Inserts "Display License…", "Check For Update…" and a separator into the first menu,
    // two places after Preferences (at the top when there is no such place).
    void installAppMenuItems();

    // How the application is ended (QCoreApplication::quit, from the event loop); tests
    // record it instead, so that their event loops go on.
    void setTerminateHandler(std::function<void()> handler) { _terminateHandler = std::move(handler); }

    // Where the update checker reads the version document (the vendor's by default).
    void setUpdateInfoURL(const QUrl &url) { _updateInfoURL = url; }

    // Ties this controller to the session's single-instance name.
    void setSingleInstance(QMSingleInstance *instance);

    // The window height: 380, or more where the desktop's fonts need it.
    void updateWindowHeight();

    // Addresses of the Help menu.
    static QString vendorWebsite();
    static QString supportPageAddress();
    static QString supportEmailAddress();

    QMMainWindow *mainWindow() const { return _mainWindow; }
    RamDiskConfigController *ramDiskConfigController() const { return _ramDiskConfigController; }
    PreferencesController *preferencesController() const { return _preferencesController; }
    QMLicenseAgreement *licenseAgreementWindow() const { return _licenseAgreement; }
    QMAboutWindow *aboutWindow() const { return _aboutWindow; }
    QMenu *appMenu() const { return _appMenu; }
    QMenu *helpMenu() const { return _helpMenu; }
    QToolBar *toolBar() const { return _toolBar; }

private:
    void buildMenus();
    void buildToolBar();
    void bringWindowToFront();
    void terminate();
    void startUpdateChecker();

    QMMainWindow *_mainWindow = nullptr;
    RamDiskConfigController *_ramDiskConfigController = nullptr;
    PreferencesController *_preferencesController = nullptr;
    QMLicenseAgreement *_licenseAgreement = nullptr;
    QMAboutWindow *_aboutWindow = nullptr;
    bool _needsContinueApplicationDidFinishLaunching = false;

    QMenu *_appMenu = nullptr;
    QMenu *_helpMenu = nullptr;
    QToolBar *_toolBar = nullptr;
    QAction *_preferencesAction = nullptr;
    QAction *_forceEjectAction = nullptr;
    QAction *_checkForUpdateAction = nullptr;
    QAction *_quitAction = nullptr;
    bool _helpInstalled = false;
    bool _terminating = false;
    bool _wasActive = false;
    std::function<void()> _terminateHandler;
    QUrl _updateInfoURL;
};
