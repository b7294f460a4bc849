#include "QMLogFile.h"

#include "QMFunctions.h"
#include "QMLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

struct LogFileState
{
    QString path;
    QFile file;
    bool alsoStandardError = false;
};

// Renames <log>.2 to .3, .1 to .2 and the log to .1, so the newest entries stay in <log>.
void rotate(LogFileState &state)
{
    state.file.close();
    QFile::remove(state.path + QStringLiteral(".%1").arg(QMLogFile::keptFiles));
    for (int i = QMLogFile::keptFiles - 1; i >= 1; --i)
        QFile::rename(state.path + QStringLiteral(".%1").arg(i), state.path + QStringLiteral(".%1").arg(i + 1));
    QFile::rename(state.path, state.path + QStringLiteral(".1"));
    state.file.open(QIODevice::Append | QIODevice::Text);
}

} // namespace

QString QMLogFile::logDirectory()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    const QString dir = state + QStringLiteral("/quilmo");
    if (!QFileInfo::exists(dir) && QDir().mkpath(dir))
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return dir;
}

QString QMLogFile::logFilePath(const QString &program)
{
    return logDirectory() + QLatin1Char('/') + program + QStringLiteral(".log");
}

bool QMLogFile::start(const QString &program, bool alsoStandardError)
{
    auto state = std::make_shared<LogFileState>();
    state->path = logFilePath(program);
    state->alsoStandardError = alsoStandardError;
    state->file.setFileName(state->path);
    if (!state->file.open(QIODevice::Append | QIODevice::Text)) {
        QM_LogWarningFunction(QStringLiteral("open==NO path:%1 error:%2").arg(state->path, state->file.errorString()));
        return false;
    }
    const QString name = program;
    QMLog::setSink([state, name](const QString &entry) {
        const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        const QByteArray line = QStringLiteral("%1 %2[%3] %4\n")
                                    .arg(stamp, name)
                                    .arg(static_cast<qint64>(getpid()))
                                    .arg(entry)
                                    .toUtf8();
        if (state->file.size() + line.size() > QMLogFile::rotationSize)
            rotate(*state);
        state->file.write(line);
        state->file.flush();
        if (state->alsoStandardError) {
            fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
            fflush(stderr);
        }
    });
    return true;
}

void QMLogFile::stop()
{
    QMLog::setSink(nullptr);
}
