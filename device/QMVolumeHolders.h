#pragma once

#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <sys/types.h>

// The programs that keep a mounted volume busy, read from /proc: a process holds it when
// its working or root directory, its executable, an open file or a mapped file lies on
// the volume. Only processes whose /proc entries this user may read are seen (all of
// them as root).
class QMVolumeHolders
{
public:
    struct Holder
    {
        pid_t pid = 0;
        QString command; // the process's command name
        bool operator==(const Holder &other) const { return pid == other.pid && command == other.command; }
    };

    // The processes holding the volume mounted at `mountPoint`, by pid; none when nothing
    // does or the volume cannot be read.
    static QList<Holder> holdersOfVolumeAtPath(const QString &mountPoint);

    // "vim (pid 1234), bash (pid 1250)".
    static QString describe(const QList<Holder> &holders);

    // The files of the file system that holds `path`, as (device, inode), that some process
    // maps shared and writable now (/proc/<pid>/maps, "rw?s"): their contents change
    // through the mapping without a write call, and without their times moving while the
    // pages stay dirty (or at all, on a memory file system).
    static QSet<QPair<quint64, quint64>> sharedWritableMappings(const QString &path);
};
