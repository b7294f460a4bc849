#include "QMUpdateInstaller.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMUpdateArchive.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

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

QString errnoText(int errnum)
{
    return QString::fromLocal8Bit(strerror(errnum));
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

// Seconds since 1 January 2001, the reference date of the update's fallback names.
QString referenceDateSeconds()
{
    const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return QString::number(double(QDateTime::currentMSecsSinceEpoch() - reference.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

// "path: reason" of the last system call's failure.
QString pathError(const QByteArray &path)
{
    return QStringLiteral("%1: %2").arg(QFile::decodeName(path), errnoText(errno));
}

// The entries of a directory, as paths, sorted.
bool childrenOf(const QByteArray &dir, QList<QByteArray> *children, QString *error)
{
    DIR *d = ::opendir(dir.constData());
    if (!d) {
        *error = pathError(dir);
        return false;
    }
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            *children << dir + '/' + e->d_name;
    }
    ::closedir(d);
    std::sort(children->begin(), children->end());
    return true;
}

bool copyFile(const QByteArray &from, const QByteArray &to, const struct stat &st, QString *error)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        *error = pathError(from);
        return false;
    }
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        *error = pathError(to);
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = pathError(from);
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                *error = pathError(to);
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    ::close(in);
    if (ok && ::fchmod(out, st.st_mode & 07777) != 0) {
        *error = pathError(to);
        ok = false;
    }
    if (ok) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (::close(out) != 0 && ok) {
        *error = pathError(to);
        ok = false;
    }
    return ok;
}

bool copyEntry(const QByteArray &from, const QByteArray &to, QString *error)
{
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        *error = pathError(from);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(st.st_size > 0 ? st.st_size + 1 : 4096, Qt::Uninitialized);
        const ssize_t n = ::readlink(from.constData(), target.data(), size_t(target.size()));
        if (n < 0 || ::symlink(QByteArray(target.constData(), n).constData(), to.constData()) != 0) {
            *error = pathError(to);
            return false;
        }
        return true;
    }
    if (S_ISREG(st.st_mode))
        return copyFile(from, to, st, error);
    if (!S_ISDIR(st.st_mode))
        return true; // devices, pipes and sockets are no part of an installation
    if (::mkdir(to.constData(), 0700) != 0) {
        *error = pathError(to);
        return false;
    }
    QList<QByteArray> children;
    if (!childrenOf(from, &children, error))
        return false;
    for (const QByteArray &child : std::as_const(children)) {
        if (!copyEntry(child, to + child.mid(from.size()), error))
            return false;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.constData(), times, 0);
    if (::chmod(to.constData(), st.st_mode & 07777) != 0) {
        *error = pathError(to);
        return false;
    }
    return true;
}

bool removeEntry(const QByteArray &path, QString *error)
{
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = pathError(path);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        QList<QByteArray> children;
        if (!childrenOf(path, &children, error))
            return false;
        bool ok = true;
        for (const QByteArray &child : std::as_const(children))
            ok = removeEntry(child, error) && ok;
        if (!ok)
            return false;
        if (::rmdir(path.constData()) != 0) {
            *error = pathError(path);
            return false;
        }
        return true;
    }
    if (::unlink(path.constData()) != 0) {
        *error = pathError(path);
        return false;
    }
    return true;
}

// Every path below `root`, depth first; false with the reason when a directory cannot be
// read.
bool subpaths(const QByteArray &root, QList<QByteArray> *paths, QString *error)
{
    QList<QByteArray> children;
    if (!childrenOf(root, &children, error))
        return false;
    for (const QByteArray &child : children) {
        *paths << child;
        struct stat st {};
        if (::lstat(child.constData(), &st) == 0 && S_ISDIR(st.st_mode) && !subpaths(child, paths, error))
            return false;
    }
    return true;
}

} // namespace

QMUpdateInstaller::QMUpdateInstaller(Identity identity, PrivilegedRunner runner)
    : _identity(std::move(identity)), _runner(std::move(runner))
{
    _identity.appPath = QDir::cleanPath(QDir(_identity.appPath).absolutePath());
    if (_identity.tempDirectory.isNull())
        _identity.tempDirectory = QDir::tempPath();
    if (_identity.savedCopyDirectory.isNull())
        _identity.savedCopyDirectory = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                       + QLatin1Char('/') + _identity.bundleIdentifier;
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

    // 2. A fresh temporary directory of our own: made here, not found, so that nobody
    // else can have put anything into it.
    QString tmpPath = _identity.tempDirectory + QLatin1Char('/') + _identity.bundleIdentifier
                      + QStringLiteral("-QMCheckForUpdates");
    struct stat st {};
    if (::lstat(encoded(tmpPath).constData(), &st) == 0) {
        QString error;
        if (!removeTree(tmpPath, &error)) {
            QM_LogWarningMethod(this, QStringLiteral("removeItemAtPath==NO tmpPath:%1 error:%2").arg(tmpPath, error));
            tmpPath += QStringLiteral("-%1").arg(referenceDateSeconds());
        }
    }
    if (!QDir().mkpath(_identity.tempDirectory) || ::mkdir(encoded(tmpPath).constData(), 0700) != 0) {
        QM_LogErrorMethod(this, QStringLiteral("createDirectoryAtPath==NO tmpPath:%1 error:%2").arg(tmpPath, errnoText(errno)));
        *reason = tr("Can not create temporary directory");
        return false;
    }
    _tmpPath = tmpPath;
    // Whatever happens next, the temporary files go.
    struct Cleanup
    {
        QMUpdateInstaller *self;
        QString path;
        bool done = false;
        ~Cleanup()
        {
            QString error;
            if (!done && !QMUpdateInstaller::removeTree(path, &error))
                QM_LogErrorMethod(self, QStringLiteral("removeItemAtPath==NO tmpPath:%1 error:%2").arg(path, error));
        }
    } cleanup{this, tmpPath};

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
        QTemporaryDir holder(_identity.savedCopyDirectory + QStringLiteral("/update-XXXXXX"));
        const QString savedApp = holder.path() + QLatin1Char('/') + QFileInfo(appPath).completeBaseName()
                                 + QLatin1Char(' ') + _identity.appVersion;
        QString error;
        if (!holder.isValid() || !copyTree(appPath, savedApp, &error)) {
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

    const QStringList args = QStringList{QStringLiteral("-c"), swapScript(), QStringLiteral("sh"), appPath, tmpAppPath} + entries;
    if (!privileged) {
        // 8.
        qint64 status = 0;
        QString stdErr;
        const bool ran = QMFunctions::executeCommand(QStringLiteral("/bin/sh"), args, &status, nullptr, &stdErr);
        stdErr = stdErr.trimmed();
        if (!ran || status == 10) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO bcTmpAppPath:%1 bcAppPath:%2 error:%3")
                                        .arg(tmpAppPath, appPath, ran ? stdErr : QStringLiteral("/bin/sh")));
            *reason = tr("Can not copy downloaded files (%@)").replace(QLatin1String("%@"), ran ? stdErr : QStringLiteral("/bin/sh"));
            return false;
        }
        if (status != 0) {
            *quit = true;
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO bcAppPath:%1 error:%2").arg(appPath, stdErr));
            *reason = tr("Can not remove application content (%@)").replace(QLatin1String("%@"), stdErr);
            return false;
        }
    } else {
        // 9. Once, as root, the same steps.
        qint64 status = 0;
        if (!_runner(QStringLiteral("/bin/sh"), args, &status)) {
            *reason = tr("Can not get privileges");
            return false;
        }
        if (status == 126 || status == 127) {
            QM_LogErrorMethod(this, QStringLiteral("AuthorizationCopyRights:%1").arg(status));
            *reason = tr("Can not get privileges (%@)").replace(QLatin1String("%@"), QString::number(status));
            return false;
        }
        if (status == 10) {
            QM_LogErrorMethod(this, QStringLiteral("execute==NO /bin/cp bcTmpAppPath:%1").arg(tmpAppPath));
            *reason = tr("Can not copy downloaded files (with privileges)");
            return false;
        }
        if (status != 0) {
            *quit = true;
            QM_LogErrorMethod(this, QStringLiteral("execute==NO /bin/rm bcAppPath:%1").arg(appPath));
            *reason = tr("Can not remove application content (with privileges)");
            return false;
        }
    }

    // 10. Desktop menus and file managers look again at a directory whose time changed.
    cleanup.done = true;
    QString error;
    if (!removeTree(tmpPath, &error))
        QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO tmpPath:%1 error:%2").arg(tmpPath, error));
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
    if (!subpaths(encoded(appPath), &paths, &error)) {
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
    const QString dpkg = QStandardPaths::findExecutable(QStringLiteral("dpkg"));
    if (!dpkg.isEmpty()) {
        qint64 status = 0;
        QString out;
        if (QMFunctions::executeCommand(dpkg, {QStringLiteral("-S"), clean}, &status, &out, nullptr) && status == 0) {
            *why = QStringLiteral("%1 is a package's: %2").arg(clean, out.trimmed());
            return false;
        }
    }
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

bool QMUpdateInstaller::removeTree(const QString &path, QString *error)
{
    QString unused;
    return removeEntry(encoded(path), error ? error : &unused);
}

bool QMUpdateInstaller::copyTree(const QString &source, const QString &destination, QString *error)
{
    QString unused;
    return copyEntry(encoded(source), encoded(destination), error ? error : &unused);
}

QString QMUpdateInstaller::swapScript()
{
    // Paths come in as arguments, never inside the script text. The entries are plain
    // names checked by the caller.
    return QStringLiteral(R"sh(
A=$1; N=$2; shift 2
for e in "$@"; do /bin/rm -rf -- "$A/.$e.quilmo-new" "$A/.$e.quilmo-old" || exit 10; done
for e in "$@"; do
  if ! /bin/cp -Rp -- "$N/$e" "$A/.$e.quilmo-new"; then
    for f in "$@"; do /bin/rm -rf -- "$A/.$f.quilmo-new"; done
    exit 10
  fi
  # As root the copies belong to whoever owns the installation, not to the downloader.
  if [ "$(id -u)" = 0 ]; then /bin/chown -hR --reference="$A" -- "$A/.$e.quilmo-new" || exit 10; fi
done
i=0; failed=0
for e in "$@"; do
  i=$((i + 1))
  if [ -e "$A/$e" ] || [ -L "$A/$e" ]; then
    /bin/mv -T -- "$A/$e" "$A/.$e.quilmo-old" || { failed=$i; break; }
  fi
  if ! /bin/mv -T -- "$A/.$e.quilmo-new" "$A/$e"; then
    if [ -e "$A/.$e.quilmo-old" ] || [ -L "$A/.$e.quilmo-old" ]; then /bin/mv -T -- "$A/.$e.quilmo-old" "$A/$e"; fi
    failed=$i; break
  fi
done
if [ $failed -ne 0 ]; then
  status=11; j=0
  for e in "$@"; do
    j=$((j + 1)); [ $j -ge $failed ] && break
    if [ -e "$A/.$e.quilmo-old" ] || [ -L "$A/.$e.quilmo-old" ]; then
      /bin/mv -T -- "$A/$e" "$A/.$e.quilmo-new" && /bin/mv -T -- "$A/.$e.quilmo-old" "$A/$e" || status=12
    else
      /bin/mv -T -- "$A/$e" "$A/.$e.quilmo-new" || status=12
    fi
  done
  for e in "$@"; do /bin/rm -rf -- "$A/.$e.quilmo-new"; done
  exit $status
fi
for e in "$@"; do /bin/rm -rf -- "$A/.$e.quilmo-old"; done
exit 0
)sh");
}
