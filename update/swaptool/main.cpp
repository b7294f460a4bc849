// quilmo-update-swap PREFIX NEW-TREE ENTRY...
// The swap of an update, run as root (pkexec) for an installation the user may not change
// itself. Exit status: 0 done, 10 nothing changed, 11 failed and put back, 12 failed and
// not all put back (see QMUpdateSwap).
#include "QMUpdateSwap.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    // Only what the installer passes: two absolute, clean paths and plain entry names.
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+-]*$"));
    bool valid = args.size() >= 3;
    for (qsizetype i = 0; valid && i < args.size(); ++i) {
        if (i < 2)
            valid = QDir::isAbsolutePath(args[i]) && QDir::cleanPath(args[i]) == args[i] && args[i] != QLatin1String("/");
        else
            valid = plainName.match(args[i]).hasMatch();
    }
    if (!valid) {
        std::fprintf(stderr, "usage: quilmo-update-swap PREFIX NEW-TREE ENTRY...\n");
        return QMUpdateSwap::NothingChanged;
    }
    QString error;
    const QMUpdateSwap::Outcome outcome = QMUpdateSwap::swap(args[0], args[1], args.mid(2), &error);
    if (outcome != QMUpdateSwap::Done)
        std::fprintf(stderr, "quilmo-update-swap: %s\n", qPrintable(error));
    return outcome;
}
