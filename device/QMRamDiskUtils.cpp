#include "QMRamDiskUtils.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRunningApplications.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>

namespace {
QMutex gPrefixMutex;
QString gPrefixOverride;

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QUrl firstInstalled(std::initializer_list<const char *> programs)
{
    for (const char *p : programs) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(p));
        if (!path.isEmpty())
            return QUrl::fromLocalFile(path);
    }
    return {};
}

QString purgeToolPath()
{
    return QMRamDiskUtils::installPrefix() + QStringLiteral("/libexec/quilmo/purge");
}

// Where a program run with these HOME and XDG_DATA_HOME keeps its list of RAM disks (the
// XDG rule: a relative XDG_DATA_HOME is ignored).
QByteArray dataHome(const QByteArray &home, const QByteArray &xdgDataHome)
{
    if (xdgDataHome.startsWith('/'))
        return QDir::cleanPath(QString::fromLocal8Bit(xdgDataHome)).toLocal8Bit();
    return QDir::cleanPath(QString::fromLocal8Bit(home) + QStringLiteral("/.local/share")).toLocal8Bit();
}

// The same for a running process, from the environment it was started with; null when
// it cannot be read.
QByteArray dataHomeOf(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray home, xdgDataHome;
    for (const QByteArray &entry : file.readAll().split('\0')) {
        if (entry.startsWith("HOME="))
            home = entry.mid(5);
        else if (entry.startsWith("XDG_DATA_HOME="))
            xdgDataHome = entry.mid(14);
    }
    return dataHome(home, xdgDataHome);
}
} // namespace

QString QMRamDiskUtils::bundleIdentifier()
{
    return QStringLiteral("org.quilmo.Quilmo");
}

QString QMRamDiskUtils::helperBundleIdentifier()
{
    return bundleIdentifier() + QStringLiteral("-Helper");
}

void QMRamDiskUtils::setInstallPrefixForTesting(const QString &prefix)
{
    QMutexLocker lock(&gPrefixMutex);
    gPrefixOverride = prefix.isEmpty() ? QString() : QDir::cleanPath(prefix);
}

QString QMRamDiskUtils::installPrefix()
{
    {
        QMutexLocker lock(&gPrefixMutex);
        if (!gPrefixOverride.isNull())
            return gPrefixOverride;
    }
    return QMFunctions::installPrefix();
}

bool QMRamDiskUtils::canPurgeMemory()
{
    return isExecutableFile(purgeToolPath());
}

bool QMRamDiskUtils::purgeMemory()
{
    const QString tool = purgeToolPath();
    if (!isExecutableFile(tool)) {
        QM_LogErrorMethod("QMRamDiskUtils", QStringLiteral("task==nil"));
        return false;
    }
    // Dropping the caches needs root: the privileged runner asks for it and logs its failures.
    return QMFunctions::executeWithPrivileges(tool, {});
}

QString QMRamDiskUtils::helperPath()
{
    return installPrefix() + QStringLiteral("/libexec/quilmo/Quilmo-Helper");
}

QUrl QMRamDiskUtils::helperURL()
{
    const QString path = helperPath();
    if (!isExecutableFile(path))
        return {};
    return QUrl::fromLocalFile(path);
}

QString QMRamDiskUtils::ramDiskAppPath()
{
    // The helper lives in P/libexec/quilmo; the main application is P/bin/Quilmo.
    return installPrefix();
}

QList<pid_t> QMRamDiskUtils::helperProcessIds()
{
    const QByteArray mine = dataHome(qgetenv("HOME"), qgetenv("XDG_DATA_HOME"));
    QList<pid_t> pids;
    for (pid_t pid : QMRunningApplications::processIds(helperBundleIdentifier())) {
        const QByteArray theirs = dataHomeOf(pid);
        // One whose environment cannot be read counts as ours, as every helper once did.
        if (theirs.isNull() || theirs == mine)
            pids << pid;
    }
    return pids;
}

bool QMRamDiskUtils::helperIsRunning()
{
    return !helperProcessIds().isEmpty();
}

void QMRamDiskUtils::setHelperIsRunning(bool running)
{
    const QList<pid_t> helpers = helperProcessIds();
    // Wait until the old helper has gone, so that two never share the status area, and
    // give it the time its saves take.
    if (!helpers.isEmpty() && !QMRunningApplications::terminate(helpers, helperQuitBoundMs)) {
        QStringList pids;
        for (pid_t p : helpers)
            pids << QString::number(p);
        QM_LogErrorMethod("QMRamDiskUtils", QStringLiteral("terminate==NO pids:%1").arg(pids.join(QStringLiteral(", "))));
    }
    if (running)
        startHelper();
}

bool QMRamDiskUtils::ensureHelperIsRunning()
{
    return helperIsRunning() || startHelper();
}

bool QMRamDiskUtils::startHelper()
{
    const QUrl url = helperURL();
    if (url.isEmpty()) {
        QM_LogErrorMethod("QMRamDiskUtils", QStringLiteral("launchApplicationAtURL==NO URL:%1 error:%2")
                                                .arg(QUrl::fromLocalFile(helperPath()).toString(),
                                                     QStringLiteral("No such file or not executable")));
        return false;
    }
    QProcess process;
    process.setProgram(url.toLocalFile());
    process.setArguments({QStringLiteral("FromApp")});
    process.setWorkingDirectory(QDir::homePath());
    if (!process.startDetached()) {
        QM_LogErrorMethod("QMRamDiskUtils", QStringLiteral("launchApplicationAtURL==NO URL:%1 error:%2")
                                                .arg(url.toString(), process.errorString()));
        return false;
    }
    return true;
}

QUrl QMRamDiskUtils::activityMonitorURL()
{
    return firstInstalled({"gnome-system-monitor", "plasma-systemmonitor", "ksysguard", "xfce4-taskmanager"});
}

QUrl QMRamDiskUtils::diskUtilityURL()
{
    return firstInstalled({"gnome-disks", "partitionmanager"});
}
