// Quilmo-Helper: creates the RAM disks marked "create at login" and shows Quilmo's tray menu.
#include "AppDelegate.h"
#include "QMCommandLine.h"
#include "QMCrashHandler.h"
#include "QMCriticalAlert.h"
#include "QMLogFile.h"
#include "QMRamDiskBackup.h"
#include "QMTranslations.h"
#include "QMWorkspaceIcons.h"

#include <QApplication>
#include <QTimer>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (const auto status = QMCommandLine::answerInformationalOptions(
            argc, argv, QStringLiteral("Quilmo-Helper"),
            QStringLiteral("Quilmo's tray program: creates the RAM disks marked \"create at login\" when the user\n"
                           "logs in, and offers Quilmo's actions from the tray. Quilmo starts it.")))
        return *status;
    // A crash leaves its report where Quilmo offers it at its next start.
    QMCrashHandler::install(QStringLiteral("Quilmo-Helper"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilmo-Helper"));
    // The helper is part of Quilmo and has no desktop entry of its own: its windows and
    // notifications go under Quilmo's.
    QApplication::setDesktopFileName(QStringLiteral("org.quilmo.Quilmo"));
    // A program without windows: closing an alert must not end it.
    app.setQuitOnLastWindowClosed(false);

    // Started at login nobody reads standard error: the log goes to the helper's file
    // (and to a terminal when there is one).
    QMLogFile::start(QStringLiteral("Quilmo-Helper"), ::isatty(STDERR_FILENO) == 1);
    QMTranslations::installTranslations();
    QMCriticalAlert::install();
    wsEnsureIconTheme();

    AppDelegate delegate;
    delegate.watchTerminationSignals();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    const int status = app.exec();
    // A replaced copy is removed behind the save; ending now would leave it on disk.
    QMRamDiskBackup::waitForDiscards();
    QMLogFile::stop();
    return status;
}
