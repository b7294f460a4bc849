// Quilmo-Helper: creates the RAM disks marked "create at login" and shows Quilmo's tray menu.
#include "AppDelegate.h"
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
    // A crash leaves its report where Quilmo offers it at its next start.
    QMCrashHandler::install(QStringLiteral("Quilmo-Helper"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilmo-Helper"));
    QApplication::setDesktopFileName(QStringLiteral("org.quilmo.Quilmo-Helper"));
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
