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
    // Help and the version only print: they leave no log and no crash report behind.
    bool informational = argc < 2;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        informational = informational || a == "--help" || a == "-h" || a == "--version" || a == "-v"
                        || (i == 1 && a == "help");
    }
    // A crash leaves its report where Quilmo offers it at its next start.
    if (!informational)
        QMCrashHandler::install(QStringLiteral("quilmoctl"));
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QMTranslations::installTranslations();

    // The engine's log goes to a file unless asked for: a terminal is for the command's
    // own output.
    const bool verbose = args.removeAll(QStringLiteral("--verbose")) > 0;
    if (!verbose && !informational)
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
