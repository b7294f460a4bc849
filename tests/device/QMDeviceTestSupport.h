#pragma once
// Fixtures of the device tests: fake disk tools, captured logs and guards that release
// every mount and loop device a test makes, also when it fails.

#include "QMDiskToolPaths.h"
#include "QMLog.h"
#include "QMTemporaryDir.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <mutex>

namespace QMDeviceTest {

// A directory of scripts standing in for the disk tools; every call is appended to a log
// file as one line: the tool's name and its arguments. The tool table points here while
// the object lives.
class FakeTools
{
public:
    FakeTools();
    ~FakeTools();
    // Installs `tool` with a shell body run after the call is recorded.
    void add(const QString &tool, const QString &body);
    QStringList calls() const;
    QString path() const { return _dir.path(); }

private:
    QMTemporaryDir _dir;
};

// Captures the log lines while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QString all();

private:
    QMLog::Sink _previous;
    std::mutex _mutex;
    QStringList _lines;
};

// Unmounts a path (lazily, so a busy mount still goes) when it goes out of scope.
struct MountGuard
{
    QString path;
    ~MountGuard();
};

// Detaches a loop device made with losetup.
struct LoopGuard
{
    QString device;
    ~LoopGuard();
};

// Mounts a tmpfs at `path`; false (with the reason) when that is not possible here.
bool mountTmpfs(const QString &path, QString *why);

// Makes an ext4 file system in a small image file on a loop device of its own (not a RAM
// disk of ours). The device node, or null.
QString makeForeignExt4(const QString &imagePath);

} // namespace QMDeviceTest
