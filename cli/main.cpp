#include "QMCrashHandler.h"
#include "QMCtl.h"
#include "QMLog.h"
#include "QMLogFile.h"
#include "QMRamDiskBackup.h"
#include "QMTranslations.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    // A crash leaves its report where Quilmo offers it at its next start.
    QMCrashHandler::install(QStringLiteral("quilmoctl"));
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QMTranslations::installTranslations();

    // The engine's log goes to a file unless asked for: a terminal is for the command's
    // own output.
    const bool verbose = args.removeAll(QStringLiteral("--verbose")) > 0;
    if (!verbose)
        QMLogFile::start(QStringLiteral("quilmoctl"), false);

    QTextStream out(stdout);
    QTextStream err(stderr);
    QMCtl ctl(out, err);
    const int status = ctl.run(args);
    // A replaced copy is removed behind the save; ending now would leave it on disk.
    QMRamDiskBackup::waitForDiscards();
    QMLogFile::stop();
    return status;
}
