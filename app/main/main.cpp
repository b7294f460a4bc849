// Quilmo, the main window.
#include "AppController.h"
#include "QMCheckForUpdates.h"
#include "QMCommandLine.h"
#include "QMCrashHandler.h"
#include "QMCriticalAlert.h"
#include "QMLogFile.h"
#include "QMQuitSignals.h"
#include "QMSingleInstance.h"
#include "QMTranslations.h"
#include "QMWorkspaceIcons.h"

#include <QApplication>

int main(int argc, char **argv)
{
    if (const auto status = QMCommandLine::answerInformationalOptions(
            argc, argv, QStringLiteral("Quilmo"),
            QStringLiteral("Opens Quilmo's window, where RAM disks are listed, edited, created, saved and ejected.\n"
                           "quilmoctl does the same from the command line.")))
        return *status;
    QMCrashHandler::install(QStringLiteral("Quilmo"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilmo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quilmo"));
    QApplication::setOrganizationDomain(QStringLiteral("quilmo.org"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quilmo.Quilmo"));
    QApplication::setQuitOnLastWindowClosed(false);
    QMLogFile::start(QStringLiteral("Quilmo"), true);
    QMTranslations::installTranslations();

    // One Quilmo per session: a second one brings the first to the front. Relaunched after
    // an update, it first gives the Quilmo that started it a few seconds to leave.
    QMSingleInstance instance;
    const bool afterUpdate = app.arguments().contains(QMCheckForUpdates::relaunchArgument());
    if (!instance.claim(afterUpdate ? 10000 : 0)) {
        QMSingleInstance::activateRunningInstance();
        QMLogFile::stop();
        return 0;
    }

    wsEnsureIconTheme();
    QMCriticalAlert::install();
    AppController controller;
    controller.setSingleInstance(&instance);
    // The session's request to end (logout) quits like the Quit command: the list is saved
    // and nothing is ejected.
    QMQuitSignals quitSignals;
    quitSignals.install();
    QObject::connect(&quitSignals, &QMQuitSignals::quitRequested, &controller,
                     &AppController::applicationShouldTerminate);
    controller.applicationDidFinishLaunching();
    const int status = app.exec();
    QMLogFile::stop();
    return status;
}
