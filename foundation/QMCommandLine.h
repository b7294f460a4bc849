#pragma once

#include <QString>

#include <optional>

// What every Quilmo program answers before it starts anything: --help and --version print
// and end the program at once, without a display, a window or a dialog, so that scripts and
// package tools may ask them anywhere.
class QMCommandLine
{
public:
    // When argv asks for help (-h, --help) or the version (-v, --version): prints it to
    // standard output and returns the exit status (0). Otherwise nothing, and the program
    // starts; every other argument (the toolkit's own -platform and the like, the helper's
    // "FromApp") is left to the program.
    static std::optional<int> answerInformationalOptions(int argc, char **argv, const QString &program,
                                                         const QString &description);

    // "quilmoctl 0.1.0 (build 218)".
    static QString versionText(const QString &program);
};
