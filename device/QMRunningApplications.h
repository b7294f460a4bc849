#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Running applications, read from /proc. An application is known by its identifier; a
// table maps each identifier to the executables it runs as (whatever its installation:
// a package's, a tarball's, a snap's program) and to the Flatpak that may hold it, and to
// its desktop entries. Only processes of the current user count.
class QMRunningApplications
{
public:
    struct Application
    {
        QStringList executables;    // a name matches the file name, a path the whole path, a
                                    // path ending in "/" every program under that directory
        QStringList desktopFileIds; // the entries that name it, most specific first
        QString fallbackName;       // shown when no desktop entry is installed
        QStringList flatpakIds;     // the sandboxes that run it (their /.flatpak-info names it)
    };

    // The table entry of an identifier; empty for an application unknown on Linux.
    static Application applicationForIdentifier(const QString &bundleIdentifier);

    // The process ids running the application, lowest first.
    static QList<pid_t> processIds(const QString &bundleIdentifier);
    static QList<pid_t> processIdsOfExecutables(const QStringList &executables);
    static QList<pid_t> processIdsOfApplication(const Application &application);

    // The user-visible name: its desktop entry's Name, else the table's name.
    static QString localizedName(const QString &bundleIdentifier);

    // SIGTERM, then SIGKILL for those still running after `graceMs`; waits until each is
    // gone (or `graceMs` more). True when every one has gone.
    static bool terminate(const QList<pid_t> &pids, int graceMs = 3000);

    // True while the process exists and is not a zombie.
    static bool isAlive(pid_t pid);
};
