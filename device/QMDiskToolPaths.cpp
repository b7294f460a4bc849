#include "QMDiskToolPaths.h"

#include "QMFunctions.h"

#include <mutex>

namespace {
std::mutex gMutex;
QString gDirectory; // null: the installed tools
} // namespace

QString QMDiskToolPaths::toolName(QMDiskTool tool)
{
    switch (tool) {
    case QMDiskTool::Hdiutil:
        return QStringLiteral("hdiutil");
    case QMDiskTool::NewfsHfs:
        return QStringLiteral("newfs_hfs");
    case QMDiskTool::Diskutil:
        return QStringLiteral("diskutil");
    case QMDiskTool::Mount:
        return QStringLiteral("mount");
    case QMDiskTool::Umount:
        return QStringLiteral("umount");
    case QMDiskTool::Mdutil:
        return QStringLiteral("mdutil");
    case QMDiskTool::Purge:
        return QStringLiteral("purge");
    }
    return {};
}

QString QMDiskToolPaths::toolDirectory()
{
    {
        std::lock_guard lock(gMutex);
        if (!gDirectory.isNull())
            return gDirectory;
    }
    return QMFunctions::libexecDirectory();
}

void QMDiskToolPaths::setToolDirectory(const QString &directory)
{
    std::lock_guard lock(gMutex);
    gDirectory = directory;
}

QString QMDiskToolPaths::pathForTool(QMDiskTool tool)
{
    return toolDirectory() + QLatin1Char('/') + toolName(tool);
}
