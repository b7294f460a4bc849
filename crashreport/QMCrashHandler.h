#pragma once

#include <QString>

// Fatal-signal handlers that leave a crash report behind. Each program calls install()
// once, early in main(); when a fatal signal arrives (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP, SIGSYS) the handler writes, with async-signal-safe calls only, the
// file <crash directory>/<program>-<seconds since 1970>-<pid>.crash holding the program,
// its version and build, the signal, a backtrace and the program's loaded code (so the
// backtrace can be symbolised later), then lets the signal end the process as it would
// have without the handler.
class QMCrashHandler
{
public:
    // Installs the handlers for `program` (the name of the report files). Later calls
    // change nothing and return the first outcome.
    static bool install(const QString &program);
    static bool isInstalled();

    // $XDG_STATE_HOME/quilmo/crashes, beside the log files; created 0700 by install().
    static QString crashDirectory();
    // The file suffix of a report: ".crash".
    static QString reportSuffix();
};
