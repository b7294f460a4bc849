#include "QMUpdateInstaller.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMTemporaryDir.h"
#include "QMUpdateArchive.h"
#include "QMUpdateSwap.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("QMCheckForUpdates", text);
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool inGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[size_t(i)] == gid)
            return true;
    return false;
}

bool bitsAllowWrite(const struct stat &st)
{
    if (st.st_uid == geteuid())
        return st.st_mode & S_IWUSR;
    if (inGroup(st.st_gid))
        return st.st_mode & S_IWGRP;
    return st.st_mode & S_IWOTH;
}

bool liesInside(const QString &path, const QString &root)
{
    const QString clean = QDir::cleanPath(path);
    return clean.startsWith(root + QLatin1Char('/')) && !clean.mid(root.size() + 1).split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

} // namespace

QMUpdateInstaller::QMUpdateInstaller(Identity identity, PrivilegedRunner runner)
    : _identity(std::move(identity)), _runner(std::move(runner))
{
    _identity.appPath = QDir::cleanPath(QDir(_identity.appPath).absolutePath());
    if (_identity.savedCopyDirectory.isNull())
        _identity.savedCopyDirectory = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                       + QLatin1Char('/') + _identity.bundleIdentifier;
    if (_identity.swapTool.isNull())
        _identity.swapTool = QDir::cleanPath(QCoreApplication::applicationDirPath()
                                             + QStringLiteral("/../libexec/quilmo/quilmo-update-swap"));
    if (!_runner)
        _runner = [](const QString &tool, const QStringList &args, qint64 *status) {
            return QMFunctions::executeWithPrivilegesAndWait(tool, args, status, true);
        };
}

QString QMUpdateInstaller::description() const
{
    return QStringLiteral("<QMUpdateInstaller: appPath:%1>").arg(_identity.appPath);
}

bool QMUpdateInstaller::installUpdateWithData(const QByteArray &data, QString *reason, bool *quit)
{
    QString unused;
    bool unusedQuit = false;
    if (!reason)
        reason = &unused;
    if (!quit)
        quit = &unusedQuit;
    *reason = QString();
    *quit = false;
    _usedPrivileges = false;
    if (data.isEmpty())
        return false;
    const QString appPath = _identity.appPath;
    if (appPath == QLatin1String("/")) {
        *reason = tr("Can not found content of app");
        return false;
    }

    // 2. A fresh directory of the user's own (mkdtemp): nothing found lying in a shared
    // place is ever taken over or cleaned.
    if (!_identity.tempDirectory.isEmpty())
        QDir().mkpath(_identity.tempDirectory);
    const QString name = _identity.bundleIdentifier + QStringLiteral("-QMCheckForUpdates");
    QMTemporaryDir staging(_identity.tempDirectory.isEmpty()
                               ? QMTemporaryDir::userCacheTemplate(name)
                               : _identity.tempDirectory + QLatin1Char('/') + name + QStringLiteral("-XXXXXX"));
    if (!staging.isValid()) {
        QM_LogErrorMethod(this, QStringLiteral("createDirectoryAtPath==NO tmpPath:%1 error:%2").arg(name, staging.errorString()));
        *reason = tr("Can not create temporary directory");
        return false;
    }
    const QString tmpPath = staging.path();
    _tmpPath = tmpPath;
    // Whatever happens next, the temporary files go.
    staging.setAutoRemove(false);
    struct Cleanup
    {
        QMUpdateInstaller *self;
        QMTemporaryDir &staging;
        ~Cleanup()
        {
            if (!staging.remove())
                QM_LogErrorMethod(self, QStringLiteral("removeItemAtPath==NO tmpPath:%1 error:%2").arg(staging.path(), staging.errorString()));
        }
    } cleanup{this, staging};

    // 3.
    const QString tmpDataPath = tmpPath + QLatin1Char('/') + QString(_identity.appName).remove(QLatin1Char(' '))
                                + QStringLiteral(".zip");
    {
        QFile file(tmpDataPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(data) != data.size() || !file.flush()) {
            QM_LogErrorMethod(this, QStringLiteral("writeToFile==NO tmpDataPath:%1 error:%2").arg(tmpDataPath, file.errorString()));
            *reason = tr("Can not write downloaded data as file");
            return false;
        }
    }

    // 4.
    QString unzipError;
    if (!QMUpdateArchive::extract(data, tmpPath, &unzipError)) {
        QM_LogErrorMethod(this, QStringLiteral("executeCommand==NO stdOut:%1 stdErr:%2").arg(QStringLiteral("(null)"), unzipError));
        *reason = tr("Can not unzip data file");
        return false;
    }

    // 5. The new tree, with the program to start again and only plain names at its top.
    const QString tmpAppPath = tmpPath + QLatin1Char('/') + QFileInfo(appPath).fileName();
    const QFileInfo newProgram(tmpAppPath + QLatin1Char('/') + _identity.executable);
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+-]*$"));
    QStringList entries;
    bool plain = true;
    struct stat st {};
    if (::lstat(encoded(tmpAppPath).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // Hidden files at the top (an archiver's leftovers) are no part of the installation.
        entries = QDir(tmpAppPath).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &e : std::as_const(entries))
            plain = plain && plainName.match(e).hasMatch() && liesInside(appPath + QLatin1Char('/') + e, appPath);
    }
    if (entries.isEmpty() || !plain || !newProgram.isFile() || !newProgram.isExecutable()) {
        QM_LogErrorMethod(this, QStringLiteral("fileExistsAtPath==NO tmpAppPath:%1").arg(tmpAppPath));
        *reason = tr("Can not found content of app");
        return false;
    }

    // 6. The old version goes to the trash, where the user can get it back. Only logged.
    {
        QDir().mkpath(_identity.savedCopyDirectory);
        QMTemporaryDir holder(_identity.savedCopyDirectory + QStringLiteral("/update-XXXXXX"));
        const QString savedApp = holder.path() + QLatin1Char('/') + QFileInfo(appPath).completeBaseName()
                                 + QLatin1Char(' ') + _identity.appVersion;
        QString error;
        if (!holder.isValid() || !QMUpdateSwap::copyTree(appPath, savedApp, &error)) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO appPath:%1 savedApp:%2 error:%3")
                                        .arg(appPath, savedApp, holder.isValid() ? error : holder.errorString()));
        } else if (!QFile::moveToTrash(savedApp)) {
            QM_LogErrorMethod(this, QStringLiteral("trashItemAtURL==NO savedApp:%1 error:%2").arg(savedApp, QStringLiteral("(null)")));
        }
    }

    // 7.
    QString subpathsReason;
    const bool privileged = needsPrivileges(&subpathsReason);
    if (!subpathsReason.isNull()) {
        *reason = subpathsReason;
        return false;
    }
    _usedPrivileges = privileged;

    if (!privileged) {
        // 8.
        QString error;
        const QMUpdateSwap::Outcome outcome = QMUpdateSwap::swap(appPath, tmpAppPath, entries, &error);
        if (outcome == QMUpdateSwap::NothingChanged) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO bcTmpAppPath:%1 bcAppPath:%2 error:%3")
                                        .arg(tmpAppPath, appPath, error));
            *reason = tr("Can not copy downloaded files (%@)").replace(QLatin1String("%@"), error);
            return false;
        }
        if (outcome == QMUpdateSwap::PutBack) {
            // Everything is as it was: a failure, and the program goes on.
            QM_LogErrorMethod(this, QStringLiteral("swap==NO rolledBack==YES bcAppPath:%1 error:%2").arg(appPath, error));
            *reason = tr("Can not install the update; the previous version is back in place (%@)")
                          .replace(QLatin1String("%@"), error);
            return false;
        }
        if (outcome != QMUpdateSwap::Done) {
            *quit = true;
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO bcAppPath:%1 error:%2").arg(appPath, error));
            *reason = tr("Can not remove application content (%@)").replace(QLatin1String("%@"), error);
            return false;
        }
    } else {
        // 9. Once, as root, the same steps.
        qint64 status = 0;
        if (!_runner(_identity.swapTool, QStringList{appPath, tmpAppPath} + entries, &status)) {
            *reason = tr("Can not get privileges");
            return false;
        }
        if (status == 126 || status == 127) {
            QM_LogErrorMethod(this, QStringLiteral("AuthorizationCopyRights:%1").arg(status));
            *reason = tr("Can not get privileges (%@)").replace(QLatin1String("%@"), QString::number(status));
            return false;
        }
        if (status == QMUpdateSwap::NothingChanged) {
            QM_LogErrorMethod(this, QStringLiteral("execute==NO /bin/cp bcTmpAppPath:%1").arg(tmpAppPath));
            *reason = tr("Can not copy downloaded files (with privileges)");
            return false;
        }
        if (status == QMUpdateSwap::PutBack) {
            QM_LogErrorMethod(this, QStringLiteral("swap==NO rolledBack==YES bcAppPath:%1").arg(appPath));
            *reason = tr("Can not install the update; the previous version is back in place (with privileges)");
            return false;
        }
        if (status != 0) {
            *quit = true;
            QM_LogErrorMethod(this, QStringLiteral("execute==NO /bin/rm bcAppPath:%1").arg(appPath));
            *reason = tr("Can not remove application content (with privileges)");
            return false;
        }
    }

    // 10. The temporary files go with `cleanup`. Desktop menus and file managers look again
    // at a directory whose time changed.
    ::utimensat(AT_FDCWD, encoded(appPath).constData(), nullptr, 0);
    ::utimensat(AT_FDCWD, encoded(appPath + QStringLiteral("/share/applications")).constData(), nullptr, 0);
    return true;
}

bool QMUpdateInstaller::needsPrivileges(QString *reason)
{
    const QString appPath = _identity.appPath;
    if (!isWritableByUser(appPath))
        return true;
    QList<QByteArray> paths;
    QString error;
    if (!QMUpdateSwap::subpaths(encoded(appPath), &paths, &error)) {
        QM_LogErrorMethod(this, QStringLiteral("subpaths==nil appPath:%1 error:%2").arg(appPath, error));
        *reason = tr("Can not get subpaths of application (%@)").replace(QLatin1String("%@"), error);
        return false;
    }
    for (const QByteArray &path : std::as_const(paths)) {
        const QString file = QFile::decodeName(path);
        if (!isWritableByUser(file) || !isDeletableByUser(file)) {
            QM_LogInfoMethod(this, QStringLiteral("isWritableFileAtPath==NO\u00A0|| isDeletableFileAtPath==NO file:%1").arg(file));
            return true;
        }
    }
    return false;
}

bool QMUpdateInstaller::isSelfContained(const QString &prefix, const QString &executable, QString *why)
{
    QString unused;
    if (!why)
        why = &unused;
    const QString clean = QDir::cleanPath(QDir(prefix).absolutePath());
    if (clean == QLatin1String("/") || clean == QLatin1String("/usr") || clean.startsWith(QLatin1String("/usr/"))) {
        *why = QStringLiteral("%1 belongs to the system").arg(clean);
        return false;
    }
    if (!QFileInfo(clean).fileName().startsWith(QLatin1String("quilmo"), Qt::CaseInsensitive)) {
        *why = QStringLiteral("%1 is not a directory of Quilmo's own").arg(clean);
        return false;
    }
    if (!QFileInfo(clean + QLatin1Char('/') + executable).isFile()) {
        *why = QStringLiteral("%1 does not hold %2").arg(clean, executable);
        return false;
    }
    QString package;
    if (isPackageManaged(clean, &package)) {
        *why = QStringLiteral("%1 is a package's: %2").arg(clean, package);
        return false;
    }
    return true;
}

bool QMUpdateInstaller::isPackageManaged(const QString &program, QString *package)
{
    // By its absolute path, as every helper: what $PATH finds first is not asked.
    const QString dpkgQuery = QStringLiteral("/usr/bin/dpkg-query");
    if (!QFileInfo(dpkgQuery).isExecutable())
        return false;
    qint64 status = 0;
    QString out;
    if (!QMFunctions::executeCommand(dpkgQuery, {QStringLiteral("-S"), QDir::cleanPath(program)}, &status, &out, nullptr)
        || status != 0)
        return false;
    if (package)
        *package = out.trimmed().section(QLatin1Char(':'), 0, 0);
    return true;
}

bool QMUpdateInstaller::isWritableByUser(const QString &path)
{
    struct stat st {};
    if (::lstat(encoded(path).constData(), &st) != 0)
        return false;
    // A link's own bits mean nothing; renaming or removing it is its directory's matter.
    return S_ISLNK(st.st_mode) || bitsAllowWrite(st);
}

bool QMUpdateInstaller::isDeletableByUser(const QString &path)
{
    struct stat st {}, parent {};
    const QString dir = QFileInfo(path).absolutePath();
    if (::lstat(encoded(path).constData(), &st) != 0 || ::stat(encoded(dir).constData(), &parent) != 0)
        return false;
    if (!bitsAllowWrite(parent))
        return false;
    if ((parent.st_mode & S_ISVTX) && st.st_uid != geteuid() && parent.st_uid != geteuid())
        return false;
    return true;
}
