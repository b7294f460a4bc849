#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Child processes, the program's identity, byte-count texts and file helpers.
class QMFunctions
{
public:
    // Runs a tool with no shell in between and waits for it, draining both output pipes
    // while it runs. False only when the tool could not be started; the exit status is the
    // caller's to judge. Empty output leaves its slot null. `environment`, when given,
    // replaces the whole environment; a null `currentDir` keeps the caller's.
    static bool executeCommand(const QString &tool, const QStringList &args,
                               const std::optional<QVariantMap> &environment, const QString &currentDir,
                               qint64 *status, QString *stdOut, QString *stdErr);
    static bool executeCommand(const QString &tool, const QStringList &args, qint64 *status, QString *stdOut,
                               QString *stdErr);

    // Starts a tool with administrator rights (through pkexec; directly when already root)
    // without waiting for it. Only success or failure is reported; the reason is logged.
    // `logArgs` adds the argument list to the failure line.
    static bool executeWithPrivileges(const QString &tool, const QStringList &args, bool logArgs = false);
    // The same, for work whose next step depends on it: waits for the tool and hands back
    // its exit status (pkexec's own 126 or 127 when the administrator's password was not
    // given). False, logged as above, when nothing could be started.
    static bool executeWithPrivilegesAndWait(const QString &tool, const QStringList &args, qint64 *status,
                                             bool logArgs = false);

    static QString UUIDString();
    static QString appName();
    static QString appVersion();
    static QString appBuild();
    static std::optional<double> dateCompiled();

    static QString stringFromBytesWithBin1024Style(qint64 bytes);

    static bool isLegalFilename(const QString &name);
    static std::optional<QStringList> linesFromString(const QString &text);
    static bool getModDate1970(double *seconds, const QString &path);
    static bool getCreationDate1970(double *seconds, const QString &path);

    // Where the program is installed: P of P/bin/Quilmo and P/libexec/quilmo/Quilmo-Helper.
    static QString installPrefix();
    static QString libexecDirectory();
    static QString shareDirectory();
};
