#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

// Runs the build tree's quilmoctl in this test's HOME and XDG directories.
inline Result ctl(const QStringList &args)
{
    QProcess p;
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
