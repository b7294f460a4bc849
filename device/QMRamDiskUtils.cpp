#include "QMRamDiskUtils.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRunningApplications.h"

#include <QDir>
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

bool QMRamDiskUtils::helperIsRunning()
{
    return !QMRunningApplications::processIds(helperBundleIdentifier()).isEmpty();
}

void QMRamDiskUtils::setHelperIsRunning(bool running)
{
    const QList<pid_t> helpers = QMRunningApplications::processIds(helperBundleIdentifier());
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
