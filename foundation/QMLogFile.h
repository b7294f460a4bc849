#pragma once

#include <QString>

// Each program's own log file, where desktop users look for it:
// $XDG_STATE_HOME/quilmo/<program>.log (~/.local/state/quilmo/...). It is kept small: at
// about 1 MB the file becomes <program>.log.1 (the older ones .2 and .3; the oldest is
// dropped). Entries carry the same time stamp, program name and process id as standard
// error. Safe from any thread (the log serialises its sink).
class QMLogFile
{
public:
    static constexpr qint64 rotationSize = 1024 * 1024;
    static constexpr int keptFiles = 3;

    // $XDG_STATE_HOME/quilmo, created 0700 on first use.
    static QString logDirectory();
    static QString logFilePath(const QString &program);

    // Sends the log to the program's file, and also to standard error when asked. False
    // (the log stays on standard error) when the file cannot be opened.
    static bool start(const QString &program, bool alsoStandardError);
    // Back to standard error alone.
    static void stop();
};
