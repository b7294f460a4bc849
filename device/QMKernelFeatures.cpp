#include "QMKernelFeatures.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>

namespace {

QMutex gRootMutex;
QString gRoot;

QString path(const char *absolute)
{
    QMutexLocker lock(&gRootMutex);
    return gRoot + QLatin1String(absolute);
}

bool atLeast(int wantedMajor, int wantedMinor)
{
    int major = 0, minor = 0;
    return QMKernelFeatures::kernelVersion(&major, &minor)
        && (major > wantedMajor || (major == wantedMajor && minor >= wantedMinor));
}

} // namespace

bool QMKernelFeatures::kernelVersion(int *major, int *minor)
{
    QFile release(path("/proc/sys/kernel/osrelease"));
    if (!release.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression version(QStringLiteral("^(\\d+)\\.(\\d+)"));
    const QRegularExpressionMatch match = version.match(QString::fromLatin1(release.readAll()));
    if (!match.hasMatch())
        return false;
    *major = match.captured(1).toInt();
    *minor = match.captured(2).toInt();
    return true;
}

bool QMKernelFeatures::memoryInstances()
{
    return atLeast(6, 6);
}

bool QMKernelFeatures::wiredMemory()
{
    return memoryInstances();
}

bool QMKernelFeatures::caseInsensitiveNames()
{
    return QFileInfo::exists(memoryInstances() ? path("/sys/fs/tmpfs/features/casefold")
                                               : path("/sys/fs/ext4/features/casefold"));
}

void QMKernelFeatures::setRootForTesting(const QString &root)
{
    QMutexLocker lock(&gRootMutex);
    gRoot = root;
}
