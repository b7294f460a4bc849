#pragma once

#include "QMTestUser.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

// Runs the build tree's quilmoctl in this test's HOME and XDG directories, or as `prepare`
// sets the process up (another user, another home).
inline Result ctl(const QStringList &args, const std::function<void(QProcess &)> &prepare = {})
{
    QProcess p;
    if (prepare)
        prepare(p);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/quilmoctl"), args);
    Result r;
    if (!p.waitForStarted(10000))
        return r;
    p.waitForFinished(300000);
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// Runs quilmoctl in the session: as its user, in its home, from its installation.
inline Result userCtl(const QMTestUserSession &session, const QStringList &args)
{
    return ctl(args, [&session](QProcess &p) { session.prepare(p); });
}
