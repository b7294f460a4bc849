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

// One line of /proc/<pid>/maps: "address perms offset major:minor inode [path]".
struct MapsLine
{
    bool sharedWritable = false;
    dev_t device = 0;
    quint64 inode = 0;
};

bool parseMapsLine(const QByteArray &line, MapsLine *out)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 5)
        return false;
    const QByteArray &perms = fields.at(1);
    const QList<QByteArray> dev = fields.at(3).split(':');
    bool okMajor = false, okMinor = false, okInode = false;
    if (dev.size() != 2)
        return false;
    const uint maj = dev.at(0).toUInt(&okMajor, 16), min = dev.at(1).toUInt(&okMinor, 16);
    out->inode = fields.at(4).toULongLong(&okInode);
    out->device = makedev(maj, min);
    out->sharedWritable = perms.size() >= 4 && perms.at(1) == 'w' && perms.at(3) == 's';
    return okMajor && okMinor && okInode;
}

// The lines of /proc/<pid>/maps; none when it cannot be read (gone, or another user's).
// Read to its end: a file of /proc says it is empty until it is read.
QList<QByteArray> mapsLines(const QString &pidDir)
{
    QFile maps(pidDir + QStringLiteral("/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    return maps.readAll().split('\n');
}

// A file of the device is mapped (anonymous mappings have inode 0).
bool mapsUseDevice(const QString &pidDir, dev_t device)
{
    MapsLine line;
    for (const QByteArray &text : mapsLines(pidDir))
        if (parseMapsLine(text, &line) && line.device == device && line.inode != 0)
            return true;
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

QSet<QPair<quint64, quint64>> QMVolumeHolders::sharedWritableMappings(const QString &path)
{
    QSet<QPair<quint64, quint64>> files;
    struct stat volume {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &volume) != 0)
        return files;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.isEmpty() || !entry.at(0).isDigit())
            continue;
        MapsLine line;
        for (const QByteArray &text : mapsLines(proc.filePath(entry))) {
            if (parseMapsLine(text, &line) && line.sharedWritable && line.inode != 0 && line.device == volume.st_dev)
                files.insert(qMakePair(quint64(line.device), line.inode));
        }
    }
    return files;
}

QString QMVolumeHolders::describe(const QList<Holder> &holders)
{
    QStringList parts;
    for (const Holder &h : holders)
        parts << QStringLiteral("%1 (pid %2)").arg(h.command).arg(h.pid);
    return parts.join(QStringLiteral(", "));
}
