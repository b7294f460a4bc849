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
        // Who holds it, as the holder wrote it (it may not have yet).
        const std::optional<Holder> holder = holderAt(path);
        const QString who = holder ? QStringLiteral("%1 (pid %2) is running action %3 on it")
                                         .arg(holder->program)
                                         .arg(holder->pid)
                                         .arg(holder->action)
                                   : QStringLiteral("another program is running an action on it");
        return fail(QMTranslations::localizedString("An other action is running:%1").arg(holder ? holder->action : 0),
                    QStringLiteral("flock==EWOULDBLOCK path:%1").arg(path), who);
    }
    lock->setStep(action, 0);
    return lock;
}

void QMRamDiskActionLock::setStep(qint64 action, qint64 actionInfo)
{
    _lock.writeHolder(
        QStringLiteral("%1 %2 %3 %4\n").arg(::getpid()).arg(action).arg(programName()).arg(actionInfo).toLocal8Bit());
}

std::optional<QMRamDiskActionLock::Holder> QMRamDiskActionLock::holderOf(const QString &identifier)
{
    const QString dir = lockDirectory();
    if (dir.isNull() || identifier.isEmpty())
        return std::nullopt;
    return holderAt(lockPathForIdentifier(dir, identifier));
}

std::optional<QMRamDiskActionLock::Holder> QMRamDiskActionLock::holderAt(const QString &path)
{
    // "<pid> <action> <program> <step>". The text goes when the lock is let go; a holder
    // that was killed before leaves it behind, naming a process that is gone.
    const QStringList fields = QString::fromLocal8Bit(QMFileLock::readHolder(path)).simplified().split(u' ');
    if (fields.size() < 3)
        return std::nullopt;
    Holder holder;
    bool pidOk = false, actionOk = false;
    holder.pid = fields.at(0).toLongLong(&pidOk);
    holder.action = fields.at(1).toLongLong(&actionOk);
    holder.program = fields.at(2);
    holder.actionInfo = fields.value(3).toLongLong();
    if (!pidOk || !actionOk || holder.pid <= 0 || !QFileInfo::exists(QStringLiteral("/proc/%1").arg(holder.pid)))
        return std::nullopt;
    return holder;
}
