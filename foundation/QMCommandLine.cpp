#include "QMCommandLine.h"

#include "QMFunctions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

std::optional<int> QMCommandLine::answerInformationalOptions(int argc, char **argv, const QString &program,
                                                             const QString &description)
{
    // Looked at before any application object exists: a window program must not reach
    // its display (or its first-run dialog) to print its help.
    bool asked = false;
    for (int i = 1; i < argc && !asked; ++i) {
        const QByteArray a(argv[i]);
        asked = a == "-h" || a == "--help" || a == "-help" || a == "--help-all" || a == "-v" || a == "--version"
                || a == "-version";
    }
    if (!asked)
        return std::nullopt;

    // A core application needs no display; it gives the parser the program's arguments.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(QMFunctions::appVersion());
    QCommandLineParser parser;
    // "-platform offscreen" and the like belong to the toolkit: one word, never "-p -l ...".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(description);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Arguments the program itself knows are no error here; only the two options count.
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    } else if (parser.isSet(version)) {
        std::fputs((versionText(program) + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    } else {
        return std::nullopt;
    }
    std::fflush(stdout);
    return 0;
}

QString QMCommandLine::versionText(const QString &program)
{
    return QStringLiteral("%1 %2 (build %3)").arg(program, QMFunctions::appVersion(), QMFunctions::appBuild());
}
