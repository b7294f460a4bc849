#include "QMTemporaryDir.h"

#include "QMFileRemover.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

QMTemporaryDir::QMTemporaryDir()
{
    create(QDir::tempPath() + QStringLiteral("/quilmo-XXXXXX"));
}

QMTemporaryDir::QMTemporaryDir(const QString &templatePath)
{
    create(templatePath);
}

QMTemporaryDir::~QMTemporaryDir()
{
    if (_autoRemove && !_removed)
        remove();
}

void QMTemporaryDir::create(const QString &templatePath)
{
    QByteArray name = QFile::encodeName(templatePath);
    if (!name.endsWith("XXXXXX"))
        name += "XXXXXX";
    if (::mkdtemp(name.data()))
        _path = QFile::decodeName(name);
    else
        _error = QStringLiteral("%1: %2").arg(QFile::decodeName(name), QString::fromLocal8Bit(strerror(errno)));
}

QString QMTemporaryDir::userCacheTemplate(const QString &name)
{
    const QString parent = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/quilmo");
    if (QDir().mkpath(parent))
        ::chmod(QFile::encodeName(parent).constData(), 0700);
    return parent + QLatin1Char('/') + name + QStringLiteral("-XXXXXX");
}

QString QMTemporaryDir::filePath(const QString &fileName) const
{
    return _path.isEmpty() ? QString() : _path + QLatin1Char('/') + fileName;
}

bool QMTemporaryDir::remove()
{
    if (_path.isEmpty() || _removed)
        return false;
    const QMFileRemover::Result result = QMFileRemover::removePath(_path);
    if (!result.ok()) {
        _error = result.summary();
        return false;
    }
    _removed = true;
    return true;
}
