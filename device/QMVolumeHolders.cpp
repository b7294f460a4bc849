#include "QMVolumeHolders.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool isOnDevice(const QByteArray &procPath, dev_t device)
{
    struct stat st {};
    return ::stat(procPath.constData(), &st) == 0 && st.st_dev == device;
}

// A mapped file's device, as /proc/<pid>/maps writes it ("08:01", hexadecimal).
bool mapsUseDevice(const QString &pidDir, dev_t device)
{
    QFile maps(pidDir + QStringLiteral("/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted =
        QStringLiteral("%1:%2").arg(major(device), 2, 16, QLatin1Char('0')).arg(minor(device), 2, 16, QLatin1Char('0')).toLatin1();
    while (!maps.atEnd()) {
        const QList<QByteArray> fields = maps.readLine().simplified().split(' ');
        // address perms offset dev inode [path]
        if (fields.size() >= 5 && fields.at(3) == wanted && fields.at(4) != "0")
            return true;
    }
    return false;
}

bool holds(const QString &pidDir, dev_t device)
{
    for (const char *link : {"/cwd", "/root", "/exe"})
        if (isOnDevice(QFile::encodeName(pidDir + QLatin1String(link)), device))
            return true;
    const QDir fds(pidDir + QStringLiteral("/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (isOnDevice(QFile::encodeName(fds.filePath(fd)), device))
            return true;
    return mapsUseDevice(pidDir, device);
}

} // namespace

QList<QMVolumeHolders::Holder> QMVolumeHolders::holdersOfVolumeAtPath(const QString &mountPoint)
{
    QList<Holder> holders;
    struct stat volume {};
    if (mountPoint.isEmpty() || ::stat(QFile::encodeName(mountPoint).constData(), &volume) != 0)
        return holders;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = static_cast<pid_t>(entry.toLong(&isPid));
        if (!isPid)
            continue;
        const QString pidDir = proc.filePath(entry);
        if (!holds(pidDir, volume.st_dev))
            continue;
        QFile comm(pidDir + QStringLiteral("/comm"));
        QString command;
        if (comm.open(QIODevice::ReadOnly))
            command = QString::fromLocal8Bit(comm.readAll()).trimmed();
        holders << Holder{pid, command.isEmpty() ? QStringLiteral("?") : command};
    }
    std::sort(holders.begin(), holders.end(), [](const Holder &a, const Holder &b) { return a.pid < b.pid; });
    return holders;
}

QString QMVolumeHolders::describe(const QList<Holder> &holders)
{
    QStringList parts;
    for (const Holder &h : holders)
        parts << QStringLiteral("%1 (pid %2)").arg(h.command).arg(h.pid);
    return parts.join(QStringLiteral(", "));
}
