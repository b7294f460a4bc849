#include "QMTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <unistd.h>

namespace QMTest {

bool canUseLoopDevices(QString *why)
{
    if (geteuid() != 0) {
        if (why) *why = QStringLiteral("needs root to create loop devices");
        return false;
    }
    if (access("/dev/loop-control", R_OK | W_OK) != 0) {
        if (why) *why = QStringLiteral("/dev/loop-control is not available");
        return false;
    }
    return true;
}

QString libexecDir()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/quilmo"));
}

QString writeScript(const QString &dir, const QString &name, const QString &body)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    f.write("#!/bin/sh\n");
    f.write(body.toUtf8());
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                     | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                     | QFileDevice::ExeOther);
    return path;
}

int run(const QString &program, const QStringList &args, QString *out, QString *err)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    p.waitForFinished(-1);
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err) *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QProcessEnvironment withFatalSignalsLeftToTheProgram(QProcessEnvironment env)
{
    // Ours as the base where `env` holds only what is added to the inherited environment
    // (the thread sanitizer's carries its suppressions).
    for (const QString &name : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("TSAN_OPTIONS")}) {
        QStringList options = env.value(name, qEnvironmentVariable(name.toLatin1().constData())).split(u':', Qt::SkipEmptyParts);
        options << QStringLiteral("handle_segv=0") << QStringLiteral("handle_sigbus=0") << QStringLiteral("handle_sigill=0")
                << QStringLiteral("handle_sigfpe=0") << QStringLiteral("handle_abort=0");
        env.insert(name, options.join(u':'));
    }
    return env;
}

QString testHome()
{
    return qEnvironmentVariable("HOME");
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

bool waitUntilRunning(qint64 pid, const QString &program, int timeoutMs)
{
    const QString expected = QFileInfo(program).canonicalFilePath();
    const QString exe = QStringLiteral("/proc/%1/exe").arg(pid);
    return waitUntil([&] { return QFileInfo(exe).symLinkTarget() == expected; }, timeoutMs);
}

} // namespace QMTest
