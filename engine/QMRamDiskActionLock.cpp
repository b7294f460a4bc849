#include "QMRamDiskActionLock.h"

#include "QMLog.h"
#include "QMTranslations.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kClass = "QMRamDiskActionLock";

QString programName()
{
    QString name = QCoreApplication::applicationName();
    if (name.isEmpty()) {
        QFile comm(QStringLiteral("/proc/self/comm"));
        if (comm.open(QIODevice::ReadOnly))
            name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    }
    // One word, so that the holder line reads back whole.
    name.replace(QRegularExpression(QStringLiteral("\\s")), QStringLiteral("_"));
    return name.isEmpty() ? QStringLiteral("unknown") : name;
}

} // namespace

QString QMRamDiskActionLock::lockDirectory(QString *why)
{
    // Qt checks the runtime directory's owner and mode, and falls back to a private
    // directory of its own where the session has none.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) {
        if (why)
            *why = QStringLiteral("there is no runtime directory ($XDG_RUNTIME_DIR)");
        return {};
    }
    const QString dir = runtime + QStringLiteral("/quilmo");
    const QByteArray name = QFile::encodeName(dir);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        if (why)
            *why = QStringLiteral("cannot create %1: %2").arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return {};
    }
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        if (why)
            *why = QStringLiteral("%1 is not a directory of this user").arg(dir);
        return {};
    }
    return dir;
}

QString QMRamDiskActionLock::lockPathForIdentifier(const QString &directory, const QString &identifier)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,99}$"));
    const QString name = plain.match(identifier).hasMatch()
                             ? identifier
                             : QString::fromLatin1(
                                   QCryptographicHash::hash(identifier.toUtf8(), QCryptographicHash::Sha256).toHex());
    return directory + QLatin1Char('/') + name + QStringLiteral(".lock");
}

std::unique_ptr<QMRamDiskActionLock> QMRamDiskActionLock::acquire(const QString &identifier, qint64 action,
                                                                  QMError::Ptr *error)
{
    const char *function = __func__;
    auto fail = [&](const QString &message, const QString &condition, const QMError::Cause &cause) {
        if (error)
            *error = QMError::errorWithMessage(message, qm_detail::methodLine(function, __LINE__,
                                                                              QString::fromLatin1(kClass), condition),
                                               cause);
        return nullptr;
    };
    QString why;
    const QString dir = lockDirectory(&why);
    if (dir.isNull())
        return fail(QMTranslations::localizedString("Unable to lock the RamDisk for this action"),
                    QStringLiteral("lockDirectory==nil"), why);
    const QString path = lockPathForIdentifier(dir, identifier);

    auto lock = std::unique_ptr<QMRamDiskActionLock>(new QMRamDiskActionLock);
    const QMFileLock::Result result = lock->_lock.tryLock(path, &why);
    if (result == QMFileLock::Result::Failed)
        return fail(QMTranslations::localizedString("Unable to lock the RamDisk for this action"),
                    QStringLiteral("flock==NO path:%1").arg(path), why);
    if (result == QMFileLock::Result::Busy) {
        // "<pid> <action> <program>", as the holder wrote it (it may not have yet).
        const QStringList holder = QString::fromLocal8Bit(QMFileLock::readHolder(path)).simplified().split(u' ');
        bool known = false;
        const qint64 running = holder.size() == 3 ? holder.at(1).toLongLong(&known) : 0;
        // The line of a holder that was killed before it could take it back names nobody.
        bool isPid = false;
        const qint64 pid = known ? holder.at(0).toLongLong(&isPid) : 0;
        known = isPid && pid > 0 && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
        const QString who = known ? QStringLiteral("%1 (pid %2) is running action %3 on it")
                                        .arg(holder.at(2), holder.at(0))
                                        .arg(running)
                                  : QStringLiteral("another program is running an action on it");
        return fail(QMTranslations::localizedString("An other action is running:%1").arg(known ? running : 0),
                    QStringLiteral("flock==EWOULDBLOCK path:%1").arg(path), who);
    }
    lock->_lock.writeHolder(QStringLiteral("%1 %2 %3\n").arg(::getpid()).arg(action).arg(programName()).toLocal8Bit());
    return lock;
}
