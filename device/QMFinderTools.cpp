#include "QMFinderTools.h"

#include "QMHiddenFilenames.h"

#include <QFile>

bool QMFinderTools::isSystemFileNameInFolder(const QString &name, int mode)
{
    if (name.isNull())
        return false;
    const QByteArray bytes = QFile::encodeName(name);
    return QMIsFilenameHiddenExcluded(bytes.constData(), static_cast<size_t>(bytes.size()), mode);
}

bool QMFinderTools::isVolumeHiddenFilename(const QString &name)
{
    if (name.isNull())
        return false;
    const QByteArray bytes = QFile::encodeName(name);
    return QMIsVolumeHiddenFilename(bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool QMFinderTools::isVolumeSystemHiddenFilename(const QString &name, int mode)
{
    if (name.isNull())
        return false;
    const QByteArray bytes = QFile::encodeName(name);
    return QMIsVolumeSystemHiddenFilename(bytes.constData(), static_cast<size_t>(bytes.size()), mode);
}
