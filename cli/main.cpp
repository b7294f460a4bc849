#include "QMCtl.h"
#include "QMLog.h"
#include "QMTranslations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QMTranslations::installTranslations();

    // The engine's log goes to a file unless asked for: a terminal is for the command's
    // own output.
    const bool verbose = args.removeAll(QStringLiteral("--verbose")) > 0;
    QFile logFile;
    if (!verbose) {
        QString state = qEnvironmentVariable("XDG_STATE_HOME");
        if (state.isEmpty())
            state = QDir::homePath() + QStringLiteral("/.local/state");
        const QString dir = state + QStringLiteral("/quilmo");
        QDir().mkpath(dir);
        logFile.setFileName(dir + QStringLiteral("/quilmoctl.log"));
        if (logFile.open(QIODevice::Append | QIODevice::Text))
            QMLog::setSink([&logFile](const QString &entry) {
                logFile.write(entry.toUtf8() + '\n');
                logFile.flush();
            });
    }

    QTextStream out(stdout);
    QTextStream err(stderr);
    QMCtl ctl(out, err);
    const int status = ctl.run(args);
    QMLog::setSink(nullptr);
    return status;
}
