// Quilmo's start-up, menus, force eject, crash offer and quit, and the single instance
// with real processes.
#include "AppController.h"
#include "AppTestSupport.h"
#include "PreferencesController.h"
#include "QMCheckForUpdates.h"
#include "QMCrashHandler.h"
#include "QMAboutWindow.h"
#include "QMCrashReporter.h"
#include "QMFileRemover.h"
#include "QMFunctions.h"
#include "QMLicenseAgreement.h"
#include "QMLogFile.h"
#include "QMPrivateBus.h"
#include "QMMainWindow.h"
#include "QMRamDiskPreferences.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "QMSingleInstance.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMUserDefaults.h"
#include "QMWindowTitle.h"
#include "RamDiskConfigController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QToolBar>

#include <csignal>

using namespace QMAppTest;

namespace {

QStringList titles(QMenu *menu)
{
    QStringList t;
    for (QAction *a : menu->actions())
        t << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return t;
}

void resetCrashState()
{
    QMFileRemover::removePath(QMCrashHandler::crashDirectory()).ok();
    QFile::remove(QMCrashReporter::sharedInstance()->runningMarkerPath());
}

} // namespace

class AppControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        resetState();
        resetCrashState();
        QMLicenseAgreement::recordAnswer(true);
    }
    void TearDown() override
    {
        resetState();
        resetCrashState();
    }

    // A launched application whose quit is recorded rather than done.
    std::unique_ptr<AppController> launch()
    {
        auto app = std::make_unique<AppController>();
        app->setTerminateHandler([this] { ++terminated; });
        // Nothing listens there: the checks at launch fail at once, and quietly.
        app->setUpdateInfoURL(QUrl(QStringLiteral("http://127.0.0.1:9/quilmo.version")));
        app->applicationDidFinishLaunching();
        return app;
    }

    FakeInstallation installation;
    int terminated = 0;
};

TEST_F(AppControllerTest, LicenceIsAskedFirstAndAcceptingRunsTheSecondStage)
{
    QMLicenseAgreement::recordAnswer(false);
    auto app = launch();
    QMLicenseAgreement *license = app->licenseAgreementWindow();
    ASSERT_TRUE(license);
    EXPECT_TRUE(license->isVisible());
    EXPECT_FALSE(app->mainWindow()->isVisible());
    EXPECT_TRUE(app->needsContinueApplicationDidFinishLaunching());
    EXPECT_TRUE(QMLicenseAgreement::licenseText().contains(QStringLiteral("Copyright (c) 2026 The Quilmo developers")));

    license->findChild<QPushButton *>(QStringLiteral("licenseAccept"))->click();
    EXPECT_TRUE(QMLicenseAgreement::isAccepted());
    EXPECT_FALSE(app->needsContinueApplicationDidFinishLaunching());
    EXPECT_TRUE(app->mainWindow()->isVisible());
    EXPECT_EQ(terminated, 0);

    // The next start goes straight to the window.
    auto next = launch();
    EXPECT_EQ(next->licenseAgreementWindow(), nullptr);
    EXPECT_TRUE(next->mainWindow()->isVisible());
}

TEST_F(AppControllerTest, DecliningTheLicenceQuitsBeforeTheWindowIsShown)
{
    QMLicenseAgreement::recordAnswer(false);
    auto app = launch();
    app->licenseAgreementWindow()->findChild<QPushButton *>(QStringLiteral("licenseQuit"))->click();
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(app->mainWindow()->isVisible());
    EXPECT_FALSE(QMLicenseAgreement::isAccepted());
    EXPECT_EQ(app->ramDiskConfigController(), nullptr);
}

TEST_F(AppControllerTest, MenusOfTheApplicationAndHelp)
{
    UrlRecorder urls;
    AlertAnswers alerts(QStringLiteral("Cancel"));
    auto app = launch();
    EXPECT_EQ(titles(app->appMenu()),
              (QStringList{QStringLiteral("Preferences…"), QStringLiteral("-"), QStringLiteral("Display License…"),
                           QStringLiteral("Check For Update…"), QStringLiteral("-"), QStringLiteral("Force-Eject…"),
                           QStringLiteral("-"), QStringLiteral("Quit")}));
    EXPECT_TRUE(app->appMenu()->actions().at(3)->isEnabled());
    EXPECT_EQ(titles(app->helpMenu()),
              (QStringList{QStringLiteral("Quilmo Website"), QStringLiteral("Contact Support or Send Feedback…"),
                           QStringLiteral("Email Support…"), QStringLiteral("Submit a Problem Report…"),
                           QStringLiteral("-"), QStringLiteral("About Quilmo")}));
    QList<int> tags;
    for (QAction *a : app->helpMenu()->actions().mid(0, 4))
        tags << a->data().toInt();
    EXPECT_EQ(tags, (QList<int>{1, 2, 3, 5}));

    for (QAction *a : app->helpMenu()->actions().mid(0, 4))
        a->trigger();
    EXPECT_EQ(urls.urls, (QStringList{QStringLiteral("https://quilmo.org/"),
                                      QStringLiteral("https://quilmo.org/?page=support&app=quilmo"),
                                      QStringLiteral("mailto:support@quilmo.org")}));
    EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("QMCrashReporterAlert")});

    // Installing twice adds nothing.
    app->installAppMenuItems();
    EXPECT_EQ(app->appMenu()->actions().size(), 8);
}

TEST_F(AppControllerTest, CheckForUpdateAsksTheCheckerAndAnInstalledUpdateRestartsTheHelper)
{
    auto app = launch();
    QMCheckForUpdates *updates = QMCheckForUpdates::sharedInstance();
    EXPECT_EQ(updates->infoURL(), QUrl(QStringLiteral("http://127.0.0.1:9/quilmo.version")));
    ASSERT_TRUE(QMTest::waitUntil([&] { return updates->connectionAction() == QMCheckForUpdates::Idle; }));
    {
        // Asked by the user, a failed check is told.
        AlertAnswers alerts(QStringLiteral("OK"));
        app->appMenu()->findChild<QAction *>(QStringLiteral("checkForUpdate"))->trigger();
        EXPECT_TRUE(QMTest::waitUntil([&] { return alerts.asked().contains(QStringLiteral("checkFailedAlert")); }));
    }

    app->ramDiskConfigController()->setHelperIsRunning(true);
    QList<pid_t> before;
    ASSERT_TRUE(QMTest::waitUntil([&] {
        before = QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier());
        return !before.isEmpty();
    }));
    emit updates->QMCheckForUpdatesDidInstallUpdateNotification();
    QList<pid_t> after;
    EXPECT_TRUE(QMTest::waitUntil([&] {
        after = QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier());
        return !after.isEmpty() && after != before;
    }));
    // Without a running helper, nothing is started.
    app->ramDiskConfigController()->setHelperIsRunning(false); // waits for the helper to go
    emit updates->QMCheckForUpdatesDidInstallUpdateNotification();
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning()) << "a start would have been at once";
}

TEST_F(AppControllerTest, MenuItemsGoAtTheTopWhenThereIsNoPlaceAfterPreferences)
{
    {
        AppController app;
        QMenu *menu = app.appMenu();
        const QList<QAction *> items = menu->actions();
        for (QAction *a : items)
            if (a->objectName() != QLatin1String("showPreferences"))
                menu->removeAction(a);
        app.installAppMenuItems();
        EXPECT_EQ(titles(menu), (QStringList{QStringLiteral("Display License…"), QStringLiteral("Check For Update…"),
                                             QStringLiteral("-"), QStringLiteral("Preferences…")}));
    }
    {
        // Preferences and the separator after it: the items go at the end.
        AppController app;
        QMenu *menu = app.appMenu();
        const QList<QAction *> items = menu->actions();
        for (int i = 2; i < items.size(); ++i)
            menu->removeAction(items.at(i));
        app.installAppMenuItems();
        EXPECT_EQ(titles(menu), (QStringList{QStringLiteral("Preferences…"), QStringLiteral("-"),
                                             QStringLiteral("Display License…"), QStringLiteral("Check For Update…"),
                                             QStringLiteral("-")}));
    }
}

TEST_F(AppControllerTest, ForceEjectRefusesWhatIsNotAMountedVolume)
{
    auto app = launch();
    QMTemporaryDir folder;
    const QString file = QMTest::writeScript(folder.path(), QStringLiteral("file"), QString());
    AlertAnswers alerts(QStringLiteral("OK"));
    {
        ChooserAnswers chooser({folder.path(), file, QString()});
        app->mi_forceEject();
        QMTest::waitUntil([&] { return chooser.requests().size() == 3; });
        ASSERT_EQ(chooser.requests().size(), 3);
        const QMFileChooserRequest r = chooser.requests().first();
        EXPECT_EQ(r.prompt, QStringLiteral("Force-Eject"));
        EXPECT_TRUE(r.chooseDirectories);
        EXPECT_TRUE(r.showHidden);
        EXPECT_FALSE(r.canCreateDirectories);
        EXPECT_EQ(r.directory, QDir::homePath());
    }
    ASSERT_EQ(alerts.requests().size(), 2);
    EXPECT_EQ(alerts.requests().at(0).objectName, QStringLiteral("QMFileChooserRefusal"));
    EXPECT_TRUE(alerts.requests().at(0).messageText.contains(QStringLiteral("The selection is not a mounted volume."))
                || alerts.requests().at(0).informativeText.contains(
                    QStringLiteral("The selection is not a mounted volume.")));
    EXPECT_TRUE(alerts.requests().at(1).messageText.contains(QStringLiteral("The selection is not a directory."))
                || alerts.requests().at(1).informativeText.contains(QStringLiteral("The selection is not a directory.")));

    QString message;
    EXPECT_TRUE(AppController::validateForceEjectPath(QStringLiteral("/proc"), &message));
    EXPECT_FALSE(AppController::validateForceEjectPath(folder.path() + QStringLiteral("/missing"), &message));
    EXPECT_EQ(message, QStringLiteral("The selection is not a directory."));

    // Only while the main window is visible.
    QAction *forceEject = app->appMenu()->findChild<QAction *>(QStringLiteral("forceEject"));
    ASSERT_TRUE(forceEject);
    EXPECT_TRUE(forceEject->isEnabled());
    app->mainWindow()->hide();
    EXPECT_FALSE(forceEject->isEnabled());
}

TEST_F(AppControllerTest, ACrashIsOfferedAtTheNextStartOnce)
{
    QDir().mkpath(QMCrashHandler::crashDirectory());
    QFile report(QMCrashHandler::crashDirectory() + QStringLiteral("/Quilmo-1767225600-4242.crash"));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly));
    report.write("Signal: 11 (SIGSEGV)\n");
    report.close();
    {
        AlertAnswers alerts(QStringLiteral("Not Now"));
        auto app = launch();
        QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); });
        EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("QMCrashReporterAlert")});
        app->applicationWillTerminate();
    }
    {
        AlertAnswers alerts(QStringLiteral("Not Now"));
        auto app = launch(); // the offer is made while launching, or not at all
        EXPECT_TRUE(app->mainWindow()->isVisible());
        EXPECT_TRUE(alerts.asked().isEmpty());
        app->applicationWillTerminate();
    }
}

TEST_F(AppControllerTest, AnUncleanEndIsOfferedToo)
{
    {
        auto app = launch(); // never terminated: the marker stays behind
    }
    QFile marker(QMCrashReporter::sharedInstance()->runningMarkerPath());
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly | QIODevice::Truncate));
    marker.write("999999\n"); // a process that is gone
    marker.close();
    AlertAnswers alerts(QStringLiteral("Not Now"));
    auto app = launch();
    QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); });
    EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("QMCrashReporterAlert")});
}

TEST_F(AppControllerTest, HelperIsStartedAtLaunchWhenTheListWantsItAndLeftAloneOtherwise)
{
    {
        QMRamDiskEntries store;
        store.setShowInMenuBar(true);
        store.writeRamDisksToDefaultLocation();
    }
    {
        auto app = launch();
        EXPECT_TRUE(QMTest::waitUntil([] { return QMRamDiskUtils::helperIsRunning(); }));
    }
    {
        QMRamDiskEntries store;
        store.readRamDisksFromDefaultLocation();
        store.setShowInMenuBar(false);
        store.writeRamDisksToDefaultLocation();
    }
    auto app = launch(); // a helper quit would be waited for
    EXPECT_TRUE(QMRamDiskUtils::helperIsRunning()) << "a running helper is left alone";
}

TEST_F(AppControllerTest, WindowSizeToolbarAndItsCommand)
{
    writeRecords(1);
    auto app = launch();
    QMMainWindow *window = app->mainWindow();
    EXPECT_EQ(window->minimumWidth(), 600);
    EXPECT_EQ(window->maximumWidth(), 1600);
    EXPECT_GE(window->minimumHeight(), 380);
    EXPECT_EQ(window->minimumHeight(), window->maximumHeight());
    EXPECT_GE(window->height(), window->minimumSizeHint().height()) << "nothing clipped";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quilmo"));

    QToolBar *toolbar = window->findChild<QToolBar *>(QStringLiteral("toolbar"));
    ASSERT_TRUE(toolbar);
    EXPECT_FALSE(toolbar->isMovable());
    EXPECT_EQ(toolbar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QStringList texts;
    for (QAction *a : toolbar->actions())
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Add"), QStringLiteral("Remove"), QStringLiteral("-"),
                                  QStringLiteral("Create")}));
    RamDiskConfigController *controller = app->ramDiskConfigController();
    EXPECT_FALSE(controller->removeRamDiskAction()->isEnabled());
    EXPECT_FALSE(controller->ramDiskCommandAction()->isEnabled());
    controller->setSelectedRamDisk(controller->ramDiskEntries()->ramDisks().first());
    EXPECT_TRUE(controller->removeRamDiskAction()->isEnabled());
    // Its name is valid but its default mount place is not this test's to use: the command
    // follows the creation check either way.
    EXPECT_EQ(controller->ramDiskCommandAction()->text(), QStringLiteral("Create"));
    controller->ramDiskEntries()->setUpdator(false);
    controller->ramDiskEntries()->ramDisks().first()->setStatus(QMRamDiskStatus_mounted);
    controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
    EXPECT_EQ(controller->ramDiskCommandAction()->text(), QStringLiteral("Eject"));
    controller->ramDiskEntries()->ramDisks().first()->setStatus(QMRamDiskStatus_notCreated);
}

TEST_F(AppControllerTest, QuitWaitsStopsTheRefreshSavesAndNeverEjects)
{
    const QStringList ids = writeRecords(2);
    auto app = launch();
    RamDiskConfigController *controller = app->ramDiskConfigController();
    controller->setSelectedRamDisk(controller->ramDiskEntries()->ramDiskWithIdentifier(ids.at(1)));
    controller->ramDiskEntries()->ramDisks().first()->setName(QStringLiteral("Edited"));

    app->windowWillClose();
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(controller->isAutoUpdating());
    app->applicationWillTerminate();
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Edited"));
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->value(QStringLiteral("SelectedRamDisk.identifier")).toString(), ids.at(1));
    EXPECT_FALSE(defaults->value(QStringLiteral("MainWindow")).toByteArray().isEmpty());
    EXPECT_FALSE(QFile::exists(QMCrashReporter::sharedInstance()->runningMarkerPath()));
    // Asked again while quitting: nothing more.
    app->applicationShouldTerminate();
    EXPECT_EQ(terminated, 1);
}

TEST_F(AppControllerTest, ReopenShowsTheHiddenWindowAndResignSaves)
{
    writeRecords(1);
    auto app = launch();
    app->mainWindow()->hide();
    app->applicationShouldHandleReopen();
    EXPECT_TRUE(app->mainWindow()->isVisible());

    app->ramDiskConfigController()->ramDiskEntries()->ramDisks().first()->setName(QStringLiteral("Resigned"));
    app->applicationDidResignActive();
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Resigned"));

    app->mainWindow()->hide();
    app->applicationDidBecomeActive();
    EXPECT_TRUE(app->mainWindow()->isVisible());
}

TEST_F(AppControllerTest, AnIconStyleChosenJustBeforeAQuitIsSaved)
{
    auto app = launch();
    app->showPreferences();
    PreferencesController *prefs = app->preferencesController();
    prefs->findChild<QCheckBox *>(QStringLiteral("showHelper"))->click(); // the style is the tray's
    auto *style = prefs->findChild<QComboBox *>(QStringLiteral("iconStylePopMenu"));
    ASSERT_TRUE(style->isEnabled());
    QTest::keyClick(style, Qt::Key_Down); // "Black"
    ASSERT_EQ(QMRamDiskPreferences::sharedInstance()->statusItemIconStyle(), 1);
    ASSERT_TRUE(QMRamDiskPreferences::sharedInstance()->hasPendingSave());
    app->applicationShouldTerminate();
    app->applicationWillTerminate();
    // Where the helper reads it, read afresh.
    EXPECT_EQ(QSettings(QMUserDefaults::path(), QSettings::IniFormat).value(QStringLiteral("StatusItemIconStyle")).toInt(), 1);
}

TEST_F(AppControllerTest, AboutQuilmoTellsTheVersionBuildLicenceAndHomepage)
{
    auto app = launch();
    QAction *about = app->helpMenu()->findChild<QAction *>(QStringLiteral("aboutQuilmo"));
    ASSERT_TRUE(about);
    about->trigger();
    QMAboutWindow *window = app->aboutWindow();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("About Quilmo"));
    auto text = [&](const char *name) { return window->findChild<QLabel *>(QString::fromLatin1(name))->text(); };
    EXPECT_EQ(text("aboutVersion"),
              QStringLiteral("Version %1 (build %2)").arg(QMFunctions::appVersion(), QMFunctions::appBuild()));
    EXPECT_FALSE(QMFunctions::appVersion().isEmpty());
    EXPECT_EQ(text("aboutLicense"), QStringLiteral("Released under the MIT License."));
    EXPECT_TRUE(text("aboutHomepage").contains(QStringLiteral("https://quilmo.org/")));
    // Its licence button shows the licence.
    window->findChild<QPushButton *>(QStringLiteral("aboutShowLicense"))->click();
    ASSERT_TRUE(app->licenseAgreementWindow());
    EXPECT_TRUE(app->licenseAgreementWindow()->isVisible());
    about->trigger();
    EXPECT_EQ(app->aboutWindow(), window) << "made once";

    // Both small windows are wide enough for their whole titles.
    app->showPreferences();
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setBold(true);
    for (QWidget *w : {static_cast<QWidget *>(window), static_cast<QWidget *>(app->preferencesController())}) {
        QApplication::processEvents();
        EXPECT_GE(w->width(), QFontMetrics(font).horizontalAdvance(QMWindowTitle::shownTitle(w)) + 100)
            << QMWindowTitle::shownTitle(w).toStdString();
    }
}

TEST_F(AppControllerTest, PreferencesAndTheLicenceFromTheMenu)
{
    auto app = launch();
    app->showPreferences();
    PreferencesController *prefs = app->preferencesController();
    ASSERT_TRUE(prefs);
    EXPECT_TRUE(prefs->isVisible());
    EXPECT_EQ(prefs->ramDiskConfigController(), app->ramDiskConfigController());
    app->showPreferences();
    EXPECT_EQ(app->preferencesController(), prefs) << "made once";

    // Once accepted, the licence is only shown; closing it is no refusal.
    app->displayLicenseAgreementFromMenuItem();
    QMLicenseAgreement *license = app->licenseAgreementWindow();
    ASSERT_TRUE(license);
    EXPECT_FALSE(license->findChild<QPushButton *>(QStringLiteral("licenseQuit"))->isVisible());
    license->findChild<QPushButton *>(QStringLiteral("licenseClose"))->click();
    EXPECT_EQ(terminated, 0);
    EXPECT_TRUE(QMLicenseAgreement::isAccepted());
}

TEST(SingleInstance, ASecondQuilmoBringsTheFirstToTheFrontAndEndsWithZeroAndLogoutQuitsCleanly)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        GTEST_SKIP() << "no session bus";
    ASSERT_FALSE(bus.interface()->isServiceRegistered(QMSingleInstance::serviceName()).value());
    resetState();
    resetCrashState();
    QMLicenseAgreement::recordAnswer(true);
    QFile::remove(QMLogFile::logFilePath(QStringLiteral("Quilmo")));
    FakeInstallation installation;

    QProcess first;
    first.setProgram(QStringLiteral(QUILMO_BIN));
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start();
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(QMTest::waitUntil(
        [&] { return bus.interface()->isServiceRegistered(QMSingleInstance::serviceName()).value(); }, 30000));

    QProcess second;
    second.setProgram(QStringLiteral(QUILMO_BIN));
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start();
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_EQ(first.state(), QProcess::Running);
    auto logged = [] {
        QFile log(QMLogFile::logFilePath(QStringLiteral("Quilmo")));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains("Reopen asked by another Quilmo");
    };
    EXPECT_TRUE(QMTest::waitUntil(logged, 10000));

    // The session's SIGTERM at logout ends it like Quit: cleanly, and no crash is offered
    // at the next start.
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(QMCrashReporter::sharedInstance()->runningMarkerPath()));
    EXPECT_FALSE(QMCrashReporter::sharedInstance()->needsDisplayReclam());
    resetCrashState();
    resetState();
}

TEST(SingleInstance, AQuilmoRelaunchedAfterAnUpdateWaitsForTheOldOneInsteadOfEnding)
{
    // A bus of this test's own: the name is not shared with the other tests' Quilmos.
    QMTest::PrivateBus privateBus;
    if (!privateBus.isUsable())
        GTEST_SKIP() << "needs dbus-daemon";
    QDBusConnection bus = privateBus.connection(QStringLiteral("relaunch-test"));
    ASSERT_TRUE(bus.isConnected());
    resetState();
    resetCrashState();
    QMLicenseAgreement::recordAnswer(true);
    QFile::remove(QMLogFile::logFilePath(QStringLiteral("Quilmo")));
    FakeInstallation installation;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(privateBus.environment());
    auto start = [&](QProcess &p, const QStringList &args) {
        p.setProgram(QStringLiteral(QUILMO_BIN));
        p.setArguments(args);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start();
        return p.waitForStarted();
    };
    auto owner = [&] { return bus.interface()->servicePid(QMSingleInstance::serviceName()).value(); };

    QProcess old, relaunched;
    ASSERT_TRUE(start(old, {}));
    ASSERT_TRUE(QMTest::waitUntil([&] { return owner() == uint(old.processId()); }, 30000));
    ASSERT_TRUE(start(relaunched, {QMCheckForUpdates::relaunchArgument()}));
    auto logged = [] {
        QFile log(QMLogFile::logFilePath(QStringLiteral("Quilmo")));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains("waiting for the running Quilmo to quit");
    };
    ASSERT_TRUE(QMTest::waitUntil(logged, 30000));

    // The old one quits as the relaunch button makes it: the new one takes over and stays.
    ::kill(static_cast<pid_t>(old.processId()), SIGTERM);
    ASSERT_TRUE(old.waitForFinished(30000));
    EXPECT_TRUE(QMTest::waitUntil([&] { return owner() == uint(relaunched.processId()); }, 10000));
    EXPECT_EQ(relaunched.state(), QProcess::Running);

    ::kill(static_cast<pid_t>(relaunched.processId()), SIGTERM);
    EXPECT_TRUE(relaunched.waitForFinished(30000));
    resetCrashState();
    resetState();
}

TEST(QMRamDiskPreferences, IconStyleIsSavedOneSecondAfterTheLastChange)
{
    resetState();
    QMRamDiskPreferences *prefs = QMRamDiskPreferences::sharedInstance();
    prefs->restoreFromUserDefaults();
    EXPECT_EQ(prefs->statusItemIconStyle(), 0) << "never set";

    prefs->setStatusItemIconStyle(2);
    prefs->synchroniseDelayed();
    prefs->setStatusItemIconStyle(1);
    prefs->synchroniseDelayed(); // replaces the pending save
    EXPECT_TRUE(prefs->hasPendingSave());
    // Where the helper reads it: Quilmo's own settings file.
    auto stored = [] { return QSettings(QMUserDefaults::path(), QSettings::IniFormat).value(QStringLiteral("StatusItemIconStyle")); };
    EXPECT_FALSE(stored().isValid()) << "setting alone does not save";
    ASSERT_TRUE(QMTest::waitUntil([&] { return stored().isValid(); }, 3000));
    EXPECT_EQ(stored().toInt(), 1);
    EXPECT_FALSE(prefs->hasPendingSave());

    prefs->setStatusItemIconStyle(0);
    prefs->restoreFromUserDefaults();
    EXPECT_EQ(prefs->statusItemIconStyle(), 1);
    resetState();
    prefs->restoreFromUserDefaults();
}
